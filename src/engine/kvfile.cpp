#include "engine/kvfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "lib/lib.h"

int kv_write_all(int fd, const char *buf, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (n == 0) {
            errno = EIO;
            return 0;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return 1;
}

void kv_sync_dir(const char *path) {
    std::string dir(path);
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos)
        dir = ".";
    else if (slash == 0)
        dir = "/";
    else
        dir.resize(slash);
    UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) fsync(fd.get());
}
