#include "engine/kvsync.h"

#include <sys/stat.h>

#include "engine/flock.h"
#include "engine/kvindex.h"

namespace {
// What identifies one version of kvauth.txt: a rebuild writes a new file and
// renames it over the old one, so the inode and the times change with it.
struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
};

bool have_index;
FileId seen;

FileId current() {
    FileId id;
    struct stat st;
    if (stat(file_config("kvauth.txt"), &st) != 0) return id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    return id;
}

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same(const FileId &a, const FileId &b) {
    if (a.exists != b.exists) return false;
    if (!a.exists) return true;
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && same_time(a.mtime, b.mtime) &&
           same_time(a.ctime, b.ctime);
}
}  // namespace

int kvsync_before() {
    // The lock keeps a rebuild of another process from running between the
    // look at kvauth.txt and the reading of it, and appends from landing
    // half-read.
    auth_lock();
    FileId now = current();
    if (!have_index || !same(now, seen)) {
        // free_index (inside the build) makes the next replay read the add file whole.
        build_index("sync");
        have_index = true;
        seen = now;
    }
    check_add();
    auth_unlock();
    return 1;
}

int kvsync_note() {
    seen = current();
    return 1;
}

void kvsync_reset_for_test() {
    have_index = false;
    seen = FileId{};
}
