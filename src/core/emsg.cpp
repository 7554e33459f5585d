#include "core/emsg.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/ini.h"
#include "lib/lib.h"

namespace {
FilePtr flog;
long bytes;
char log_path[1000];

constexpr const char *kLogName = "zorvexsvr.log";
constexpr long kLogLimit = 500000;

bool fast_loop;

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

// Formats a message (cut at 999 characters), echoes it when debugging, and
// writes it as one log line behind prefix.
void log_msg(const char *prefix, const char *fmt, va_list ap) {
    char msg[1000];
    vsnprintf(msg, sizeof msg, fmt, ap);
    echo(msg);
    if (!*prefix) {
        imsg_log(msg);
        return;
    }
    char line[1010];
    snprintf(line, sizeof line, "%s%s", prefix, msg);
    imsg_log(line);
}

void warn_if_shared(const char *what, const char *dir) {
    struct stat st;
    if (stat(dir, &st) != 0 || !(st.st_mode & S_IWOTH)) return;
    imsg("Warning: the %s (%s) is writable by every user, who can plant files there\n", what, dir);
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
    if (!flog) return;
    char out[1100];
    int n = snprintf(out, sizeof out, "%s %s", stamp(), line);
    if (n < 0) return;
    if (n >= static_cast<int>(sizeof out)) n = static_cast<int>(sizeof out) - 1;
    size_t w = fwrite(out, 1, static_cast<size_t>(n), flog.get());
    bytes += static_cast<long>(w);
    if (ini_true(INI_DEBUG)) fflush(flog.get());
}

void imsg_open() {
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
    return secret;
}

void imsg_close() {
    flog.reset();
    bytes = 0;
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
    log_msg("error: ", fmt, ap);
    va_end(ap);
    imsg_flush();
    return 0;
}

int imsg(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_msg("", fmt, ap);
    va_end(ap);
    if (bytes <= kLogLimit && batching()) return 0;
    imsg_flush();
    return 0;
}

void imsg_sync() {
    if (flog) fflush(flog.get());
}

int dmsg(const char *fmt, ...) {
    if (!ini_true(INI_DEBUG)) return 0;
    va_list ap;
    va_start(ap, fmt);
    log_msg("", fmt, ap);
    va_end(ap);
    return 0;
}
