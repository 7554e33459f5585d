#include "engine/kvrebuild.h"

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/emsg.h"
#include "core/metrics.h"
#include "engine/flock.h"
#include "engine/kvfile.h"
#include "engine/kvindex.h"
#include "engine/kvline.h"
#include "engine/kvrefresh.h"
#include "engine/kvfilename.h"
#include "lib/lib.h"

namespace {
uint64_t rebuilds;
const MetricFamily rebuilds_family{
    "engine_rebuilds", MetricType::kCounter, "Rebuilds of kvauth.txt from the index.",
    [](MetricOut &o) { o.sample("", static_cast<double>(rebuilds)); }};
}  // namespace

namespace {
constexpr int kField = 999;
constexpr int kRenameTries = 9;
constexpr size_t kChunk = 1 << 20;

// Engine file paths, copied because file_config's buffer is shared.
struct Path {
    char s[1000];
    explicit Path(const char *name) { ncpy(s, file_config(name), kField); }
};

// Collects database lines and writes them out in large chunks.
class LineWriter {
   public:
    explicit LineWriter(int fd) : fd_(fd), buf_(new char[kChunk]) {}
    bool add(const USER *u) {
        size_t lu = strlen(u->user), lp = strlen(u->pass), li = strlen(u->info);
        size_t need = kvline_size(lu, lp, li);
        if (used_ + need > kChunk && !flush()) return false;
        if (need > kChunk)
            return kv_write_all(fd_, kvline_format(u->user, u->pass, u->info).data(), need) != 0;
        kvline_put(buf_.get() + used_, u->user, lu, u->pass, lp, u->info, li);
        used_ += need;
        return true;
    }
    bool flush() {
        if (used_ > 0 && !kv_write_all(fd_, buf_.get(), used_)) return false;
        used_ = 0;
        return true;
    }
    int lines = 0;
    bool failed = false;

   private:
    int fd_;
    std::unique_ptr<char[]> buf_;
    size_t used_ = 0;
};

// Writes every live record of the index to fd, in bucket order, and syncs
// the file. 1, or 0 with errno set.
int write_index(int fd, int *count) {
    LineWriter w(fd);
    auth_walk(
        [](const USER *u, void *arg) {
            auto *lw = static_cast<LineWriter *>(arg);
            if (!lw->add(u)) {
                lw->failed = true;
                return 0;
            }
            lw->lines++;
            return 1;
        },
        &w);
    *count = w.lines;
    if (w.failed || !w.flush()) return 0;
    return fsync(fd) == 0;
}

UniqueFd create_file(const char *path) {
    return UniqueFd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0660));
}

bool no_hard_links(int err) {
    return err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EXDEV || err == EMLINK;
}

// Gives the add file its second name kvauth.add_old for folding in. The add
// file keeps its own name until the new database holds its changes, so a
// crash at any moment leaves every change in kvauth.txt or kvauth.add, the
// two files a restart reads. true: both names exist and kvauth.add must go
// once the database is replaced. Gives up the process after kRenameTries
// failures: without the move the database cannot be rebuilt.
bool move_add_file(const char *add, const char *add_old) {
    for (int attempt = 1;; attempt++) {
        if (link(add, add_old) == 0) return true;
        // No add file at all: there is nothing to fold in.
        if (errno == ENOENT) return false;
        if (no_hard_links(errno) && rename(add, add_old) == 0) return false;
        imsg("Rename failed %s\n", strerror(errno));
        lib_sleep(1);
        if (attempt >= kRenameTries) {
            emsg("Could not rename file %s\n", add);
            printf("Could not rename file %s\n", add);
            fflush(stdout);
            abort();
        }
    }
}
// Removes the partial backups "kvauth.bck_<pid>" that a process killed while
// writing one left behind. Under the lock no other process is writing one.
void remove_stale_backups() {
    std::string dir = file_config("kvauth.bck");
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir.c_str()), closedir);
    if (!d) return;
    constexpr char kPrefix[] = "kvauth.bck_";
    constexpr size_t kPrefixLen = sizeof kPrefix - 1;
    while (const dirent *e = readdir(d.get())) {
        const char *n = e->d_name;
        if (strncmp(n, kPrefix, kPrefixLen) != 0 || !n[kPrefixLen] ||
            strspn(n + kPrefixLen, "0123456789") != strlen(n + kPrefixLen))
            continue;
        std::string path = dir + "/" + n;
        if (remove(path.c_str()) == 0) emsg("Removed stale backup %s\n", path.c_str());
    }
}
}  // namespace

int auth_lib_exists(const char *fname) {
    errno = 0;
    FILE *f = fopen(fname, "r");
    if (f) {
        fclose(f);
        return 1;
    }
    if (errno == ENOENT) return 0;
    emsg("couldn't open file but not enoent??? %s %s\n", fname, strerror(errno));
    return 1;
}

int auth_changelog(const char *user, const char *pass, const char *info) {
    Path clg("kvauth.clg");
    UniqueFd fd(open(clg.s, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0660));
    if (!fd) {
        emsg("-ERR Could not append to %s %s\n", clg.s, strerror(errno));
        return 0;
    }
    std::string line = kvline_format(user, pass, info);
    // One write per line: appends of other processes never split it.
    kv_write_all(fd.get(), line.data(), line.size());
    fd.reset();
    chmod(clg.s, 0660);
    return 1;
}

int auth_write_backup() {
    Path bck("kvauth.bck");
    if (auth_lib_exists(bck.s)) return 0;
    char name[64];
    snprintf(name, sizeof name, "kvauth.bck_%d", static_cast<int>(getpid()));
    Path part(name);
    emsg("Writing backup file %s -> %s\n", part.s, bck.s);
    UniqueFd fd = create_file(part.s);
    if (!fd) {
        emsg("Unable to open %s, %s\n", part.s, strerror(errno));
        return 0;
    }
    int count = 0;
    if (!write_index(fd.get(), &count)) return 0;
    fd.reset();
    chmod(part.s, 0660);
    if (rename(part.s, bck.s) != 0)
        emsg("-ERR rename %s -> %s failed %s\n", part.s, bck.s, strerror(errno));
    chmod(bck.s, 0660);
    return 1;
}

int auth_rebuild() {
    emsg("Rebuilding kvauth file\n");
    auth_lock();
    emsg("We got the lock, yay\n");
    Path add("kvauth.add"), add_old("kvauth.add_old"), tmp("kvauth.tmp"), txt("kvauth.txt"),
        bck("kvauth.bck");

    // An index that was never loaded lacks the users of kvauth.txt, and the
    // file is about to be written from it.
    if (!auth_index_built()) build_index("rebuild");

    bool unfinished = auth_lib_exists(add_old.s);
    bool linked = false;
    if (unfinished) {
        imsg("Found old file (%s) processing it first\n", add_old.s);
    } else {
        imsg("Reading new add file (%s)\n", add_old.s);
        linked = move_add_file(add.s, add_old.s);
    }
    set_add_file_reread();
    check_add_raw(add_old.s);
    set_add_file_reread();
    // The add file of an unfinished rebuild is older than the present one:
    // the newer changes are applied again on top so that they win.
    if (unfinished) check_add();
    // Deleted records and superseded strings leave the index here (once they
    // are a quarter of it), so that its size follows the live users and not
    // the history of changes.
    compact_index();
    remove_stale_backups();

    UniqueFd fd = create_file(tmp.s);
    if (!fd) {
        emsg("Unable to open %s, %s\n", tmp.s, strerror(errno));
        auth_unlock();
        return 0;
    }
    int count = 0;
    if (!write_index(fd.get(), &count)) {
        emsg("-ERR Error writing new file %s\n", strerror(errno));
        fd.reset();
        auth_unlock();
        return 0;
    }
    fd.reset();
    imsg("Wrote %d lines to kvauth.new\n", count);
    chmod(tmp.s, 0660);

    // rename replaces kvauth.txt in one step: there is no moment without a
    // database file for a crash to leave behind.
    if (rename(tmp.s, txt.s) != 0) {
        emsg("-ERR rename of %s failed %s\n", txt.s, strerror(errno));
    } else {
        // The new name must last before the changes it holds leave add_old.
        kv_sync_dir(txt.s);
        if (linked) remove(add.s);
        remove(add_old.s);
        rebuilds++;
    }
    if (!auth_lib_exists(bck.s)) auth_write_backup();
    chmod(txt.s, 0660);
    // The index holds what kvauth.txt now holds: no reload for it.
    kvrefresh_note_txt();
    auth_unlock();
    return 1;
}
