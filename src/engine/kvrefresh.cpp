#include "engine/kvrefresh.h"

#include "engine/kvfilename.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "core/metrics.h"
#include "engine/flock.h"
#include "engine/kvindex.h"

namespace {
// Index reloads and add-file replays for changes another process made.
uint64_t reloads;
const MetricFamily reloads_family{
    "engine_reloads", MetricType::kCounter,
    "Reloads of the index for changes another process wrote to kvauth.txt or kvauth.add.",
    [](MetricOut &o) { o.sample("", static_cast<double>(reloads)); }};

// What identifies one version of a file: a rebuild writes a new kvauth.txt
// and renames it over the old one, and every append changes the add file's
// size and times.
struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
};

FileId seen_txt;
FileId seen_add;

// A watch on the engine directory tells, with one read that finds nothing,
// that neither file was touched since the last look: cheaper than the two
// stat calls it saves. The kernel queues the event before the other
// process's write returns, so a change that was acknowledged is never
// missed. Without a watch (not available, a network file system, directory
// gone) every look stats.
int watch_fd = -1;
bool watch_tried;
bool looked;

void watch_close() {
    if (watch_fd >= 0) close(watch_fd);
    watch_fd = -1;
}

void watch_open() {
    watch_tried = true;
    std::string dir = file_config("kvauth.txt");
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    // Changes made on other hosts of a network file system raise no event here:
    // NFS, SMB, CIFS, SMB2, FUSE, Ceph, GPFS and AFS (two kinds).
    struct statfs fs;
    if (statfs(dir.c_str(), &fs) != 0) return;
    for (unsigned long remote : {0x6969ul, 0x517Bul, 0xFF534D42ul, 0xFE534D42ul, 0x65735546ul,
                                 0x00C36400ul, 0x47504653ul, 0x5346414Ful, 0x6B414653ul})
        if (static_cast<unsigned long>(fs.f_type) == remote) return;
    watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_fd < 0) return;
    if (inotify_add_watch(watch_fd, dir.c_str(),
                          IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                              IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF) < 0)
        watch_close();
}

// False only when the watch is sure that neither kvauth.txt nor the add file
// changed since the last call. Reads every pending event.
bool maybe_changed() {
    if (!watch_tried) watch_open();
    // What changed before the watch began is not in it.
    bool changed = !looked;
    looked = true;
    if (watch_fd < 0) return true;
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = read(watch_fd, buf, sizeof buf)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            if (e->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                changed = true;
                if (e->mask & IN_IGNORED) watch_close();  // the directory went away
            } else if (e->len &&
                       (strcmp(e->name, "kvauth.txt") == 0 || strcmp(e->name, "kvauth.add") == 0)) {
                changed = true;
            }
        }
        if (watch_fd < 0) break;
    }
    return changed;
}

FileId current(const char *name) {
    FileId id;
    struct stat st;
    if (stat(file_config(name), &st) != 0) return id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    return id;
}

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same(const FileId &a, const FileId &b) {
    if (a.exists != b.exists) return false;
    if (!a.exists) return true;
    // Not the change time: every writer chmods kvauth.txt, and taking that
    // for a new version made each process reload after every other's set.
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && same_time(a.mtime, b.mtime);
}
}  // namespace

int kvrefresh_before() {
    // Unchanged files need no lock: what this request reads is then what
    // every other process has acknowledged.
    if (!auth_index_built()) {
        maybe_changed();  // the build below reads what the events tell
    } else if (!maybe_changed() ||
               (same(current("kvauth.txt"), seen_txt) && same(current("kvauth.add"), seen_add))) {
        return 1;
    }
    // The lock keeps a rebuild of another process from running between the
    // look at kvauth.txt and the reading of it, and appends from landing
    // half-read.
    auth_lock();
    bool built = auth_index_built();
    bool reload = !built || !same(current("kvauth.txt"), seen_txt);
    if (reload) {
        // Under the lock, so no rebuild comes between the load and the note.
        build_index("sync");  // the next replay reads the add file whole
        kvrefresh_note_txt();
    }
    FileId add = current("kvauth.add");
    if (built && (reload || !same(add, seen_add))) reloads++;
    check_add();
    seen_add = add;
    auth_unlock();
    return 1;
}

int kvrefresh_note() {
    seen_txt = current("kvauth.txt");
    seen_add = current("kvauth.add");
    return 1;
}

void kvrefresh_note_txt() {
    seen_txt = current("kvauth.txt");
}

void kvrefresh_watch() {
    if (!watch_tried) watch_open();
}

void kvrefresh_close() {
    watch_close();
    watch_tried = false;
    looked = false;
    seen_txt = FileId{};
    seen_add = FileId{};
}

int auth_init() {
    kvrefresh_watch();
    auth_lock();
    int r = build_index("init");
    kvrefresh_note_txt();
    auth_unlock();
    return r;
}
