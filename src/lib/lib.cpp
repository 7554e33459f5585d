#include "lib/lib.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

#include "core/emsg.h"
#include "core/ini.h"

namespace {
char work_name[1000];
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
    snprintf(work_name, sizeof work_name, "%s/%s", ini_get(INI_WORKAREA), s);
    return work_name;
}

int lib_exists(const char *s) {
    FILE *f = fopen(s, "r");
    if (f) {
        fclose(f);
        return 1;
    }
    if (errno != ENOENT) imsg("lib_exists(%s) %s\n", s, strerror(errno));
    return 0;
}

int file_size(FILE *f) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) {
        emsg("FATAL Could not get file length\n");
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
        imsg("Error doing close on exec fcntl %d %s\n", fd, strerror(errno));
}

int lib_sleep(int x) {
    sleep(static_cast<unsigned>(x));
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
