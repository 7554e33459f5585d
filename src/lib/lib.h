// Support library: the bounded copy that fills every fixed-size text buffer,
// work-area file names, file tests and sizes, close-on-exec and sleeps.
// Used by every subsystem of the server; keeps no state but one result buffer.
#pragma once

#include <cstdio>
#include <memory>

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
