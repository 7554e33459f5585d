#include "core/emsg.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <openssl/evp.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/ini.h"
#include "lib/lib.h"

namespace {
FilePtr flog;
long bytes;
char log_path[1000];

constexpr const char *kLogName = "zorvexsvr.log";
constexpr long kLogLimit = 500000;
constexpr size_t kLineMax = 1099;  // time stamp, blank and text
// A lazy log keeps this much in the stream before it must write.
constexpr size_t kLazyBuffer = 64 << 10;

bool fast_loop;
bool quiet;
bool lazy;
bool hide_secrets;

// Syslog: one datagram per message to the local syslog socket, facility mail.
constexpr int kFacilityMail = 2 << 3;
constexpr int kSevErr = 3;
constexpr int kSevInfo = 6;
constexpr int kSevDebug = 7;
std::string syslog_path = "/dev/log";
bool to_syslog;
int slog = -1;

void echo(const char *msg) {
    if (ini_true(INI_DEBUG)) fputs(msg, stdout);
}

// The time stamp of the current second; formatting it (and the time zone
// lookup behind ctime) once a second keeps a log line to one write.
const char *stamp() {
    static time_t last = -1;
    static char text[20];
    time_t now = time(nullptr);
    if (now != last) {
        char tbuf[64];
        const char *ts = ctime_r(&now, tbuf);
        if (!ts) ts = "badtimebadtimebadtime";
        snprintf(text, sizeof text, "%.19s", ts);
        last = now;
    }
    return text;
}
// In the fast loop information lines wait in the stream: they go out with
// the next error line, before the next reply and the next wait (imsg_sync),
// before a fork (the spawn flushes every stream) and at exit. The size limit
// is still checked after every line, so a new file starts between lines.
bool batching() {
    return fast_loop && !ini_true(INI_DEBUG);
}

void syslog_close() {
    if (slog >= 0) close(slog);
    slog = -1;
}

bool syslog_connect() {
    syslog_close();
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (syslog_path.size() >= sizeof sa.sun_path) return false;
    memcpy(sa.sun_path, syslog_path.c_str(), syslog_path.size() + 1);
    slog = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (slog < 0) return false;
    if (connect(slog, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) return true;
    syslog_close();
    return false;
}

// One message as RFC 3164 frames it for the local socket: "<PRI>Mmm dd
// hh:mm:ss zorvexsvr[pid]: text", the line end dropped. A syslog daemon
// that restarted is reconnected once; a full socket drops the message
// rather than stall the loop.
void syslog_send(int severity, const char *msg) {
    size_t len = strcspn(msg, "\n");
    if (len == 0) return;
    char out[1200];
    int n = snprintf(out, sizeof out, "<%d>%s zorvexsvr[%d]: %.*s", kFacilityMail | severity,
                     stamp() + 4, static_cast<int>(getpid()), static_cast<int>(len), msg);
    if (n < 0) return;
    size_t size = n < static_cast<int>(sizeof out) ? static_cast<size_t>(n) : sizeof out - 1;
    for (int tries = 0; tries < 2; tries++) {
        if (slog < 0 && !syslog_connect()) return;
        if (send(slog, out, size, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return;
        if (errno != ECONNREFUSED && errno != ENOTCONN && errno != ENOENT) return;
        syslog_close();
    }
}

// One formatted message to wherever the log goes.
void put(int severity, const char *prefix, const char *msg) {
    if (to_syslog) {
        syslog_send(severity, msg);
        return;
    }
    if (!*prefix) {
        imsg_log(msg);
        return;
    }
    char line[1010];
    snprintf(line, sizeof line, "%s%s", prefix, msg);
    imsg_log(line);
}

// Formats a message (cut at 999 characters), echoes it when debugging, and
// writes it as one log line behind prefix.
void log_msg(int severity, const char *prefix, const char *fmt, va_list ap) {
    char msg[1000];
    vsnprintf(msg, sizeof msg, fmt, ap);
    echo(msg);
    put(severity, prefix, msg);
}

void warn_if_shared(const char *what, const char *dir) {
    struct stat st;
    if (stat(dir, &st) != 0 || !(st.st_mode & S_IWOTH)) return;
    imsg("Warning: the %s (%s) is writable by every user, who can plant files there\n", what, dir);
}

// The fingerprint key: random, made once per process and never written
// anywhere, so that a fingerprint cannot be matched against guesses.
const unsigned char *fp_key() {
    static unsigned char key[32];
    static bool made;
    if (!made) made = lib_random(key, sizeof key) == 1;
    return key;
}

// Rotating result buffers, so that one line may show several secrets.
char *next_buf() {
    static char bufs[4][1100];
    static int at;
    at = (at + 1) % 4;
    return bufs[at];
}

using MdCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// SHA-256 of the key followed by the secret: the key's state is hashed once
// and copied for each secret, since the engine asks for two fingerprints
// per failed check.
void fingerprint(const char *secret, size_t len, char *out, size_t size) {
    static MdCtx keyed = [] {
        MdCtx c(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        if (c && EVP_DigestInit_ex(c.get(), EVP_sha256(), nullptr) == 1)
            EVP_DigestUpdate(c.get(), fp_key(), 32);
        return c;
    }();
    unsigned char md[EVP_MAX_MD_SIZE] = {};
    unsigned int mdlen = 0;
    MdCtx c(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (keyed && c && EVP_MD_CTX_copy_ex(c.get(), keyed.get()) == 1 &&
        EVP_DigestUpdate(c.get(), secret, len) == 1)
        EVP_DigestFinal_ex(c.get(), md, &mdlen);
    snprintf(out, size, "fp:%02x%02x%02x%02x", md[0], md[1], md[2], md[3]);
}
}  // namespace

void imsg_warn_shared_dirs() {
    // A sticky bit does not help: others can still create the exit file, or
    // a log or pid file of their own before the server does.
    const char *logdir = ini_get(INI_LOGDIR);
    warn_if_shared("log directory", *logdir ? logdir : ".");
    const char *work = ini_get(INI_WORKAREA);
    warn_if_shared("work area", *work ? work : "/");
}

const char *file_log(const char *name) {
    const char *dir = ini_get(INI_LOGDIR);
    if (!*dir) return name;
    snprintf(log_path, sizeof log_path, "%s/%s", dir, name);
    return log_path;
}

void imsg_log(const char *line) {
    if (to_syslog) {
        syslog_send(kSevInfo, line);
        return;
    }
    if (!flog) return;
    // Straight into the stream's buffer, no copy formatted first; a line is
    // cut where a 1100-byte buffer would have cut it.
    const char *ts = stamp();
    size_t tn = strlen(ts);
    size_t n = strnlen(line, kLineMax - tn - 1);
    size_t w = fwrite(ts, 1, tn, flog.get());
    w += fwrite(" ", 1, 1, flog.get());
    w += fwrite(line, 1, n, flog.get());
    bytes += static_cast<long>(w);
    if (ini_true(INI_DEBUG)) fflush(flog.get());
}

void imsg_open() {
    hide_secrets = strcmp(ini_get(INI_LOG_SECRETS), "no") == 0;
    to_syslog = strcmp(ini_get(INI_LOG), "syslog") == 0;
    if (to_syslog) {
        if (!syslog_connect())
            printf("Unable to open (%s) (%s) \n", syslog_path.c_str(), strerror(errno));
        return;
    }
    const char *path = file_log(kLogName);
    // The log holds the shared secret and may hold passwords: owner only.
    // Never through a link: one planted in a shared directory would send the
    // log into a file of the planter's choosing.
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        flog.reset(fdopen(fd, "a"));
        if (!flog) close(fd);
    }
    if (!flog) {
        printf("Unable to open (%s) (%s) \n", path, strerror(errno));
        return;
    }
    if (lazy) setvbuf(flog.get(), nullptr, _IOFBF, kLazyBuffer);
    bytes = file_size(flog.get());
}

void imsg_flush() {
    if (flog) fflush(flog.get());
    if (bytes > kLogLimit) {
        flog.reset();
        bytes = 0;
        remove(file_log(kLogName));
        imsg_open();
    }
}

const char *log_secret(const char *secret) {
    if (!hide_secrets) return secret;
    char *out = next_buf();
    fingerprint(secret, strlen(secret), out, 1100);
    return out;
}

const char *log_secret_words(const char *line, int keep) {
    if (!hide_secrets) return line;
    // Only debug lines show whole request lines: without debug the
    // fingerprint would be made for every request and written nowhere.
    if (!ini_true(INI_DEBUG)) return "";
    const char *p = line;
    for (int w = 0; w < keep && *p; w++) {
        while (*p == ' ') p++;
        while (*p && *p != ' ') p++;
    }
    const char *rest = p + strspn(p, " ");
    char *out = next_buf();
    int shown = static_cast<int>(p - line);
    if (shown > 999) shown = 999;
    if (!*rest) {
        snprintf(out, 1100, "%.*s", shown, line);
        return out;
    }
    char fp[16];
    fingerprint(rest, strlen(rest), fp, sizeof fp);
    snprintf(out, 1100, "%.*s %s", shown, line, fp);
    return out;
}

bool log_hides_secrets() {
    return hide_secrets;
}

bool imsg_quiet(bool on) {
    bool was = quiet;
    quiet = on;
    return was;
}

void imsg_lazy(bool on) {
    lazy = on;
}

void log_syslog_path(const char *path) {
    syslog_path = path;
}

void imsg_close() {
    flog.reset();
    bytes = 0;
    syslog_close();
    to_syslog = false;
    hide_secrets = false;
}

void log_bind() {
    lib_set_log(emsg, imsg);
}

void imsg_use_loop(bool fast) {
    fast_loop = fast;
}

int emsg(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_msg(kSevErr, "error: ", fmt, ap);
    va_end(ap);
    imsg_flush();
    return 0;
}

int imsg(const char *fmt, ...) {
    if (quiet && !ini_true(INI_DEBUG)) return 0;
    va_list ap;
    va_start(ap, fmt);
    log_msg(kSevInfo, "", fmt, ap);
    va_end(ap);
    if (bytes <= kLogLimit && batching()) return 0;
    imsg_flush();
    return 0;
}

void imsg_sync() {
    if (flog && !(lazy && batching())) fflush(flog.get());
}

int dmsg(const char *fmt, ...) {
    if (!ini_true(INI_DEBUG)) return 0;
    va_list ap;
    va_start(ap, fmt);
    log_msg(kSevDebug, "", fmt, ap);
    va_end(ap);
    return 0;
}
