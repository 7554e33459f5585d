#include "lib/lib.h"

#include <openssl/err.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

namespace {
char work_name[1000];
LibLogFn log_err;
LibLogFn log_info;
const char *(*workarea_of)();

// The log formats into a 1000-byte line too, so formatting here first cuts
// nothing that the log would have kept.
int log_through(LibLogFn fn, const char *fmt, va_list ap) {
    if (!fn) return 0;
    char text[1000];
    vsnprintf(text, sizeof text, fmt, ap);
    return fn("%s", text);
}
}  // namespace

void lib_set_log(LibLogFn err, LibLogFn info) {
    log_err = err;
    log_info = info;
}

void lib_set_workarea(const char *(*workarea)()) {
    workarea_of = workarea;
}

int lib_emsg(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = log_through(log_err, fmt, ap);
    va_end(ap);
    return r;
}

int lib_imsg(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = log_through(log_info, fmt, ap);
    va_end(ap);
    return r;
}

char *ncpy(char *dst, const char *src, int len) {
    char *start = dst;
    int n = len;
    while (*src && n > 0) {
        *dst++ = *src++;
        n--;
    }
    *dst = 0;
    start[len] = 0;
    return start;
}

const char *file_work(const char *s) {
    snprintf(work_name, sizeof work_name, "%s/%s", workarea_of ? workarea_of() : "", s);
    return work_name;
}

int lib_exists(const char *s) {
    // Asked without opening the file: the exit file must be seen also when
    // every descriptor is taken.
    if (faccessat(AT_FDCWD, s, R_OK, AT_EACCESS) == 0) return 1;
    if (errno != ENOENT) lib_imsg("lib_exists(%s) %s\n", s, strerror(errno));
    return 0;
}

int file_size(FILE *f) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) {
        lib_emsg("FATAL Could not get file length\n");
        return 0;
    }
    return static_cast<int>(st.st_size);
}

FILE *myfopen(const char *filename, const char *mode) {
    FILE *f = fopen(filename, mode);
    if (f) close_on_exec(fileno(f));
    return f;
}

void close_on_exec(int fd) {
    if (fcntl(fd, F_SETFD, 1) != 0)
        lib_imsg("Error doing close on exec fcntl %d %s\n", fd, strerror(errno));
}

int lib_sleep(int x) {
    sleep(static_cast<unsigned>(x));
    return 1;
}

int lib_random(void *buf, size_t n) {
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return 1;
}

int lib_msleep(int x) {
    // nanosleep rather than usleep: usleep may refuse a second or more.
    struct timespec ts;
    ts.tv_sec = x / 1000;
    ts.tv_nsec = static_cast<long>(x % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    return 1;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

std::string tls_reason(const char *when_none) {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return errno ? strerror(errno) : when_none;
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}
