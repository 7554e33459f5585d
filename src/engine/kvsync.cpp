#include "engine/kvsync.h"

#include <sys/stat.h>

#include "engine/flock.h"
#include "engine/kvindex.h"

namespace {
// What identifies one version of a file: a rebuild writes a new kvauth.txt
// and renames it over the old one, and every append changes the add file's
// size and times.
struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
};

FileId seen_txt;
FileId seen_add;

FileId current(const char *name) {
    FileId id;
    struct stat st;
    if (stat(file_config(name), &st) != 0) return id;
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
    // Unchanged files need no lock: what this request reads is then what
    // every other process has acknowledged.
    if (auth_index_built() && same(current("kvauth.txt"), seen_txt) &&
        same(current("kvauth.add"), seen_add))
        return 1;
    // The lock keeps a rebuild of another process from running between the
    // look at kvauth.txt and the reading of it, and appends from landing
    // half-read.
    auth_lock();
    if (!auth_index_built() || !same(current("kvauth.txt"), seen_txt))
        build_index("sync");  // notes kvauth.txt; the next replay reads the add file whole
    FileId add = current("kvauth.add");
    check_add();
    seen_add = add;
    auth_unlock();
    return 1;
}

int kvsync_note() {
    seen_txt = current("kvauth.txt");
    seen_add = current("kvauth.add");
    return 1;
}

void kvsync_note_txt() {
    seen_txt = current("kvauth.txt");
}

void kvsync_reset_for_test() {
    seen_txt = FileId{};
    seen_add = FileId{};
}
