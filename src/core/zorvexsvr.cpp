#include "core/zorvexsvr.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/emsg.h"
#include "core/ini.h"
#include "engine/kvauth.h"
#include "install/install.h"
#include "lib/lib.h"
#include "net/chan.h"
#include "net/tcplib.h"
#include "pool/ex.h"

namespace {
constexpr const char *kVersion = "1.1e";
constexpr const char *kPidFile = "zorvexsvr.pid";
constexpr const char *kExitFile = "zorvexsvr.exit";

int lport = 601;
Chan *listen_chan;
time_t lastt;
time_t t;
int doexit;

// Descriptors are kept in 16 bits, so the limit may not pass 32767.
void raise_fd_limit() {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
    rlim_t want = rl.rlim_max;
    if (want == RLIM_INFINITY || want > 32767) want = 32767;
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
                lport = atoi(v);
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
        return 0;
    }
    return -1;
}
}  // namespace

void sig_init() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGABRT, SIG_IGN);
    signal(SIGFPE, SIG_IGN);
}

int main_init() {
    sig_init();
    raise_fd_limit();
    ini_load();
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

int main_init_socket(Chan *c) {
    int p = atoi(ini_get(INI_PORT));
    if (p > 0) lport = p;
    c->sk = tcp_listen(lport);
    if (c->sk == -1) {
        imsg("Could not listen on %d\n", lport);
        return 0;
    }
    imsg("Listening on Zorvex port %d socket %d\n", lport, c->sk);
    chan_setread(c, chan_listen_read, c);
    chan_setwrite(c, chan_listen_write, c);
    return 1;
}

int main_load() {
    listen_chan = chan_new();
    dmsg("listen chan %p\n", static_cast<void *>(listen_chan));
    return main_init_socket(listen_chan);
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
    chan_exit();
    imsg("All memory correctly freed\n");
    exit(0);
}

int zorvexsvr_main(int argc, char **argv) {
    int rc = parse_args(argc, argv);
    if (rc >= 0) return rc;
    chan_init();
    main_init();
    if (!main_load()) return 1;
    printf("Detaching process...\n");
    lib_detach();
    write_pid();
    if (*ini_get(INI_AUTHENT_PROCESS)) ex_init();
    main_run();
}
