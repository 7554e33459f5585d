#include "server/zorvexsvr.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <arpa/inet.h>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/emsg.h"
#include "core/ini.h"
#include "core/metrics.h"
#include "core/workers.h"
#include "engine/kvoffload.h"
#include "engine/kvrehash.h"
#include "engine/kvrefresh.h"
#include "engine/kvfilename.h"
#include "engine/passhash.h"
#include "install/install.h"
#include "lib/lib.h"
#include "net/acl.h"
#include "net/chan.h"
#include "net/scrape.h"
#include "net/tcplib.h"
#include "net/tls.h"
#include "pool/ex.h"
#include "session/io.h"
#include "session/req.h"

namespace {
constexpr const char *kVersion = "1.1e";
constexpr const char *kPidFile = "zorvexsvr.pid";
constexpr const char *kExitFile = "zorvexsvr.exit";

int lport = 601;
Chan *listen_chan;
Chan *tls_listen_chan;
time_t lastt;
time_t t;
int doexit;
time_t started;
bool fast_loop;

const MetricFamily build_family{"build_info", MetricType::kGauge,
                                "The server's version, loop and mode; always 1.", [](MetricOut &o) {
                                    std::string labels =
                                        "version=\"" + metric_label(kVersion) + "\",loop=\"" +
                                        (fast_loop ? "fast" : "classic") + "\",mode=\"" +
                                        (*ini_get(INI_AUTHENT_PROCESS) ? "pool" : "engine") + "\"";
                                    o.sample(labels.c_str(), 1);
                                }};
const MetricFamily start_family{"start_time_seconds", MetricType::kGauge,
                                "When the server started, in seconds since the Unix epoch.",
                                [](MetricOut &o) { o.sample("", static_cast<double>(started)); },
                                "seconds"};

// Descriptors kept back from client connections, so that they never run
// out where running out stops the server or fails a request: the standard
// streams, the listening socket, the wait set, the spare, the log, the
// secret file, the engine's lock, watch and rebuild files, with room to
// spare; and per authenticator process its two pipes and two more while it
// is replaced.
constexpr long kFdReserve = 32;
constexpr long kFdReservePerProcess = 4;
constexpr long kFdMax = 32767;

// Descriptors are kept in 16 bits, so the limit may not pass 32767.
void raise_fd_limit() {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
    rlim_t want = rl.rlim_max;
    if (want == RLIM_INFINITY || want > kFdMax) want = kFdMax;
    if (rl.rlim_cur >= want) return;
    rl.rlim_cur = want;
    setrlimit(RLIMIT_NOFILE, &rl);
}

int usage() {
    printf("\nZorvexsvr Version %s\n", kVersion);
    printf(
        "\nUsage: zorvexsvr [-conf /etc/zorvexsvr.conf] [-install] [-uninstall] [-port <x>]\n\n");
    return 1;
}

// A port given as text: its number when it is all digits from 1 to 65535,
// else 0.
int port_number(const char *v) {
    if (!*v || strlen(v) > 5 || strspn(v, "0123456789") != strlen(v)) return 0;
    int p = atoi(v);
    return p <= 65535 ? p : 0;
}

// A directory the server must create files in; 1 when it can, else one line
// on standard error naming it, the reason and the configuration key.
int dir_usable(const char *what, const char *dir, const char *key) {
    struct stat st;
    const char *why = nullptr;
    if (stat(dir, &st) != 0)
        why = strerror(errno);
    else if (!S_ISDIR(st.st_mode))
        why = "not a directory";
    else if (access(dir, W_OK | X_OK) != 0)
        why = strerror(errno);
    if (!why) return 1;
    fprintf(stderr, "zorvexsvr: %s %s: %s; create it writable or set %s in %s\n", what, dir, why,
            key, ini_file());
    return 0;
}

// The directory part of a path that file_work or file_log formed.
std::string dir_of(const char *path) {
    const char *slash = strrchr(path, '/');
    if (!slash) return ".";
    if (slash == path) return "/";
    return std::string(path, static_cast<size_t>(slash - path));
}

// The client connections allowed at once: max_connections, at most what the
// descriptor limit leaves after the reserve (and all of that when the key is
// unset); 0 after a line on standard error when neither gives a number from 1.
long connection_limit() {
    rlimit rl{};
    long limit = kFdMax;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < static_cast<rlim_t>(kFdMax))
        limit = static_cast<long>(rl.rlim_cur);
    long reserve = kFdReserve +
                   (*ini_get(INI_AUTHENT_PROCESS) ? kFdReservePerProcess * ex_n() : 0) +
                   (*ini_get(INI_METRICS_LISTEN) ? kScrapeMax + 1 : 0);
    long fit = limit - reserve;
    const char *v = ini_get(INI_MAX_CONNECTIONS);
    char *end = nullptr;
    long want = *v ? strtol(v, &end, 10) : fit;
    if (end) end += strspn(end, " ");
    if (end && (end == v || *end || want < 1)) {
        fprintf(stderr,
                "zorvexsvr: max_connections %s in %s is no number from 1 up; give one, or remove "
                "the line to allow what the descriptor limit does\n",
                v, ini_file());
        return 0;
    }
    if (fit < 1) {
        fprintf(stderr,
                "zorvexsvr: the descriptor limit of %ld leaves no connection beside the %ld the "
                "server keeps back; raise it (ulimit -n)\n",
                limit, reserve);
        return 0;
    }
    if (want <= fit) return want;
    imsg("max_connections %ld is more than the descriptor limit allows, using %ld\n", want, fit);
    return fit;
}

constexpr int kMaxHashThreads = 64;

// The worker threads for costly hashes in the fast loop: hash_threads, or
// one per core when unset; 0 after a line on standard error when the key is
// no number from 1 to 64.
int hash_thread_count() {
    const char *v = ini_get(INI_HASH_THREADS);
    if (!*v) {
        long cores = sysconf(_SC_NPROCESSORS_ONLN);
        return cores < 1 ? 1 : cores > kMaxHashThreads ? kMaxHashThreads : static_cast<int>(cores);
    }
    char *end = nullptr;
    long n = strtol(v, &end, 10);
    if (end == v || *end || n < 1 || n > kMaxHashThreads) {
        fprintf(stderr,
                "zorvexsvr: hash_threads %s in %s is no number from 1 to %d; give one, or "
                "remove the line for one thread per core\n",
                v, ini_file(), kMaxHashThreads);
        return 0;
    }
    return static_cast<int>(n);
}

void drain_workers(int) {
    workers_drain();
}

// Engine mode in the fast loop: costly hashes go to worker threads, whose
// finished jobs the loop picks up when their descriptor is readable. The
// classic loop hashes in line.
void main_start_workers() {
    if (*ini_get(INI_AUTHENT_PROCESS) || strcmp(ini_get(INI_LOOP), "fast") != 0) return;
    int n = hash_thread_count();
    if (!workers_start(n)) {
        emsg("Could not start %d hash threads; hashing on the loop\n", n);
        return;
    }
    imsg("Started %d hash threads\n", n);
    tcp_watch_fd(workers_fd(), drain_workers);
    kvoffload_bind(workers_submit);
}

// The TLS keys: none set changes nothing; any set needs the fast loop, a
// port, and a certificate and key that load (tls_setup keeps them).
int tls_checks() {
    const char *port = ini_get(INI_TLS_PORT);
    const char *cert = ini_get(INI_TLS_CERT);
    const char *key = ini_get(INI_TLS_KEY);
    const char *ca = ini_get(INI_TLS_CLIENT_CA);
    if (!*port && !*cert && !*key && !*ca) return 1;
    std::string why;
    if (strcmp(ini_get(INI_LOOP), "fast") != 0)
        why = "the tls_ keys need loop fast; add the line \"loop fast\" or remove them";
    else if (!port_number(port))
        why =
            std::string("tls_port \"") + port + "\" is not a port number; give one from 1 to 65535";
    else if (!*cert || !*key)
        why = "tls_port needs both tls_cert and tls_key";
    else if (tls_setup(cert, key, ca, &why))
        return 1;
    fprintf(stderr, "zorvexsvr: %s in %s\n", why.c_str(), ini_file());
    return 0;
}

// What start-up can find wrong before it detaches, with the person who
// started the server still there to read it: each failure writes one line on
// standard error and makes start-up fail.
int startup_checks() {
    if (!dir_usable("work area", dir_of(file_work(kPidFile)).c_str(), "workarea")) return 0;
    if (!dir_usable("log directory", dir_of(file_log("zorvexsvr.log")).c_str(), "logdir")) return 0;
    const char *cp = ini_get(INI_PORT);
    if (strtol(cp, nullptr, 10) > 65535) {
        fprintf(stderr, "zorvexsvr: port %s in %s is not a port number; give one from 1 to 65535\n",
                cp, ini_file());
        return 0;
    }
    const char *la = ini_get(INI_LISTEN_ADDRESS);
    in6_addr probe;
    if (*la && inet_pton(AF_INET, la, &probe) != 1 && inet_pton(AF_INET6, la, &probe) != 1) {
        fprintf(stderr,
                "zorvexsvr: listen_address %s in %s is no IPv4 or IPv6 address; give one, or "
                "remove the line to listen on every IPv4 address\n",
                la, ini_file());
        return 0;
    }
    std::string bad;
    if (!acl_set(ini_get(INI_ALLOW), &bad)) {
        if (bad.empty())
            fprintf(stderr,
                    "zorvexsvr: allow in %s names no address; write addresses such as "
                    "192.0.2.7, 10.0.0.0/8 or 2001:db8::/32, or remove the line to admit "
                    "everyone\n",
                    ini_file());
        else
            fprintf(stderr,
                    "zorvexsvr: allow in %s: %s is no address or CIDR range; write addresses "
                    "such as 192.0.2.7, 10.0.0.0/8 or 2001:db8::/32\n",
                    ini_file(), bad.c_str());
        return 0;
    }
    std::string why;
    if (!rehash_configure(&why)) {
        fprintf(stderr, "zorvexsvr: %s; change the line in %s\n", why.c_str(), ini_file());
        return 0;
    }
    if (hash_thread_count() < 1) return 0;
    for (int key : {INI_BRAKE_FAILURES, INI_BRAKE_WINDOW, INI_BRAKE_MAX_DELAY, INI_BRAKE_ENTRIES}) {
        const char *v = ini_get(key);
        if (!*v || (strspn(v, "0123456789") == strlen(v) && strlen(v) < 10 && atoi(v) > 0))
            continue;
        fprintf(stderr,
                "zorvexsvr: %s %s in %s is no whole number from 1 up; give one, or remove the "
                "line\n",
                ini_names[key], v, ini_file());
        return 0;
    }
    if (!tls_checks()) return 0;
    const char *ml = ini_get(INI_METRICS_LISTEN);
    std::string maddr;
    int mport = 0;
    if (*ml && !scrape_parse(ml, &maddr, &mport)) {
        fprintf(stderr,
                "zorvexsvr: metrics_listen %s in %s is not ADDRESS:PORT, [ADDRESS]:PORT or PORT; "
                "give one such as 127.0.0.1:9601, or remove the line\n",
                ml, ini_file());
        return 0;
    }
    long n = connection_limit();
    if (n < 1) return 0;
    tcp_set_max_clients(static_cast<int>(n));
    return 1;
}

// Reads the command line; returns -1 to go on serving, else the exit status.
int parse_args(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "-m") == 0) continue;
        if (strcmp(a, "-version") == 0) {
            printf("Zorvexsvr Version %s\n", kVersion);
            return 0;
        }
        if (strcmp(a, "-conf") == 0 || strcmp(a, "-port") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "zorvexsvr: %s needs a value\n", a);
                return 1;
            }
            const char *v = argv[++i];
            if (a[1] == 'p') {
                lport = port_number(v);
                if (lport == 0) {
                    fprintf(stderr,
                            "zorvexsvr: -port %s is not a port number; give a number from 1 to "
                            "65535\n",
                            v);
                    return 1;
                }
            } else if (strlen(v) > 999) {
                fprintf(stderr, "zorvexsvr: configuration path longer than 999 characters\n");
                return 1;
            } else {
                ini_file_set(v);
            }
            continue;
        }
        if (strcmp(a, "-install") == 0) {
            install_do();
            return 0;
        }
        if (strcmp(a, "-uninstall") == 0) {
            install_uninstall();
            return 0;
        }
        if (strcmp(a, "-h") == 0) return usage();
        printf("Unknown qualifier (%s)\n", a);
        fprintf(stderr, "zorvexsvr: unknown option %s; zorvexsvr -h lists the options\n", a);
        return 1;
    }
    return -1;
}
}  // namespace

void sig_init() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGABRT, SIG_IGN);
    signal(SIGFPE, SIG_IGN);
}

void main_pick_loop() {
    bool fast = strcmp(ini_get(INI_LOOP), "fast") == 0;
    fast_loop = fast;
    imsg_use_loop(fast);
    // The one-line request log lets lines wait for a full buffer or a second.
    imsg_lazy(fast && ini_true(INI_LOG_REQUESTS));
    chan_use_loop(fast);
    ex_use_loop(fast);
    io_use_loop(fast);
}

int main_init() {
    sig_init();
    raise_fd_limit();
    ini_load();
    main_pick_loop();
    req_configure();
    imsg_open();
    imsg("\n");
    imsg("-------------- Zorvexsvr %s Starting -------------------\n", kVersion);
    dmsg("Debug logging on\n");
    imsg_warn_shared_dirs();
    remove(file_work(kExitFile));
    const char *kp = ini_get(INI_KVAUTH_PATH);
    if (*kp) {
        imsg("Set kvauth path (%s)\n", kp);
        kvauth_set_path(kp);
    }
    return 1;
}

namespace {
int listen_at(Chan *c, int port) {
    const char *la = ini_get(INI_LISTEN_ADDRESS);
    c->sk = tcp_listen(port, la);
    if (c->sk == -1) {
        imsg("Could not listen on %d\n", port);
        fprintf(stderr,
                "zorvexsvr: cannot listen on %s port %d: %s; stop what uses it or choose another "
                "port\n",
                *la ? la : "every IPv4 address", port, tcperror());
        return 0;
    }
    chan_setread(c, chan_listen_read, c);
    chan_setwrite(c, chan_listen_write, c);
    return 1;
}
}  // namespace

int main_init_socket(Chan *c) {
    int p = atoi(ini_get(INI_PORT));
    if (p > 0) lport = p;
    if (!listen_at(c, lport)) return 0;
    imsg("Listening on Zorvex port %d socket %d\n", lport, c->sk);
    return 1;
}

namespace {
// The metrics listener, and the families that mean nothing in this mode or
// without TLS left out of its scrapes.
int metrics_load() {
    started = time(nullptr);
    metrics_hide(*ini_get(INI_AUTHENT_PROCESS) ? "engine_" : "pool_");
    if (!tls_listen_chan) metrics_hide("tls_");
    const char *ml = ini_get(INI_METRICS_LISTEN);
    std::string why;
    if (!*ml || scrape_listen(ml, &why)) return 1;
    fprintf(stderr,
            "zorvexsvr: cannot listen for metrics on %s: %s; stop what uses it or choose another "
            "address\n",
            ml, why.c_str());
    return 0;
}
}  // namespace

int main_load() {
    listen_chan = chan_new();
    dmsg("listen chan %p\n", static_cast<void *>(listen_chan));
    if (!main_init_socket(listen_chan)) return 0;
    if (*ini_get(INI_TLS_PORT)) {
        tls_listen_chan = chan_new();
        int tp = port_number(ini_get(INI_TLS_PORT));
        if (!listen_at(tls_listen_chan, tp)) return 0;
        tls_listen_chan->tlslisten = 1;
        imsg("Listening for TLS on port %d socket %d\n", tp, tls_listen_chan->sk);
    }
    return metrics_load();
}

int lib_detach() {
    // What was printed so far must reach a pipe or file once, not twice.
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) _exit(0);
    if (setsid() < 0) return -1;
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) return 0;
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2) close(fd);
    return 0;
}

int write_pid() {
    const char *path = file_work(kPidFile);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!f) {
        int err = errno;
        if (fd >= 0) close(fd);
        emsg("Could not write pid file %s %s\n", path, strerror(err));
        return 1;
    }
    fprintf(f, "%d\n", static_cast<int>(getpid()));
    fchmod(fileno(f), 0644);
    fclose(f);
    return 1;
}

void main_idle_20() {
    time_t now = time(nullptr);
    if (now - lastt > 19) {
        lastt = now;
        imsg_flush();
    }
}

void main_idle() {
    main_idle_20();
    ex_poll();
    time_t now = time(nullptr);
    if (now != t) {
        t = now;
        // Lines a lazy log keeps back are at most a second old.
        imsg_flush();
        const char *ef = file_work(kExitFile);
        if (lib_exists(ef)) {
            remove(ef);
            main_exit();
        }
    }
}

void main_run() {
    if (!*ini_get(INI_AUTHENT_PROCESS)) auth_init();

    while (!doexit) {
        chan_run();
        main_idle();
    }
    main_exit();
}

void main_exit() {
    imsg("zorvexsvr exit called\n");
    if (listen_chan) listen_chan->canclose = 1;
    if (tls_listen_chan) tls_listen_chan->canclose = 1;
    // Before the channels go: requests waiting for a process or a hash
    // hold them.
    ex_close();
    kvoffload_bind(nullptr);
    if (workers_fd() != -1) tcp_unwatch_fd(workers_fd());
    workers_stop();
    req_close();
    scrape_close();
    chan_exit();
    imsg("All memory correctly freed\n");
    exit(0);
}

void main_bind() {
    chan_set_accept(io_read, io_write);
    ex_set_reply(req_pool_reply);
    chan_set_idle(main_idle);
    tcp_set_fatal(main_exit);
}

int zorvexsvr_main(int argc, char **argv) {
    int rc = parse_args(argc, argv);
    if (rc >= 0) return rc;
    chan_init();
    main_init();
    if (!startup_checks()) return 1;
    if (!main_load()) return 1;
    printf("Detaching process...\n");
    lib_detach();
    write_pid();
    if (*ini_get(INI_AUTHENT_PROCESS)) ex_init();
    main_start_workers();
    main_run();
}
