// Support library: the bounded copy that fills every fixed-size text buffer,
// work-area file names, file tests and sizes, close-on-exec and sleeps, and
// the text of the last TLS failure.
// Used by every subsystem of the server. The bottom layer: it includes no
// other module. The log and the configuration lie above it, so they hand it
// their entry points (lib_set_log, lib_set_workarea) in each program's
// start-up (log_bind, ini_bind); until then its log lines go nowhere and the
// work area is empty.
// One thread; keeps no state but those two bindings and one result buffer.
#pragma once

#include <string>

#include <cstddef>
#include <cstdio>
#include <memory>

// printf-style log call: emsg and imsg of the log module.
using LibLogFn = int (*)(const char *fmt, ...);
// Binds the error and information log calls used by this library and by the
// modules below the log (the configuration). Set by log_bind.
void lib_set_log(LibLogFn err, LibLogFn info);
// Binds the source of the work-area directory (the key workarea). Set by
// ini_bind.
void lib_set_workarea(const char *(*workarea)());
// Logs one error or information line through the bound log call, if any.
int lib_emsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int lib_imsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Copies at most len characters of src into dst and terminates the copy;
// dst[len] is always NUL, so dst must hold len + 1 bytes.
char *ncpy(char *dst, const char *src, int len);

// "<workarea>/<s>" in a buffer that the next call overwrites.
const char *file_work(const char *s);

// 1 when s can be opened for reading; logs errors other than ENOENT.
int lib_exists(const char *s);

// Size of an open file in bytes, 0 (with a log line) when fstat fails.
int file_size(FILE *f);

// fopen whose descriptor is not inherited by child processes.
FILE *myfopen(const char *filename, const char *mode);

void close_on_exec(int fd);

// Fills buf with n bytes from the kernel's random source (getrandom, which
// blocks only until the kernel's pool is first seeded at boot). 1 on success,
// 0 when the kernel gives none: callers fail rather than use a weaker source.
int lib_random(void *buf, size_t n);

int lib_sleep(int x);
int lib_msleep(int x);

// Owning handle for a stdio stream; closes it when dropped.
struct FileCloser {
    void operator()(FILE *f) const {
        if (f) fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Owning handle for a descriptor; closes it when dropped.
class UniqueFd {
   public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept {
        reset(o.release());
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void reset(int fd = -1);

   private:
    int fd_ = -1;
};

// The reason of the last TLS failure (OpenSSL's error queue, then errno),
// clearing the queue; when_none when neither says anything.
std::string tls_reason(const char *when_none);
