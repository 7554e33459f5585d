#include "engine/filestore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/emsg.h"
#include "engine/flock.h"
#include "engine/kvfile.h"
#include "engine/kvfilename.h"
#include "engine/kvindex.h"
#include "engine/kvline.h"
#include "engine/kvprint.h"
#include "engine/kvrebuild.h"
#include "engine/kvrefresh.h"
#include "lib/lib.h"

namespace {
constexpr int kField = 999;
constexpr int kRebuildSize = 29000;

// The line reaches the kernel before the reply in any case, which is what
// survives the server being killed. Syncing every change to the disk as well
// would also survive a power cut, at 0.3 to 1 ms per change on our disks:
// more than the whole budget of an addition.
constexpr bool kSyncEachChange = false;

int rebuild_size;
bool writing;
char failure_line[300];

// How many records ahead of a walk their strings are requested from memory:
// chains are contiguous but the strings are not, and waiting for each one in
// turn would dominate a search of a large index.
constexpr int kPrefetch = 8;

UniqueFd open_add(const char *path) {
    return UniqueFd(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0660));
}

// Appends one change line with one write, before any reply can acknowledge
// it. On failure the file is cut back to its old size (a half line would
// spoil the next one) and errno is kept. size_before: the file's size before
// this line.
int append_change(int fd, const char *path, const std::string &line, long *size_before) {
    struct stat st;
    if (fstat(fd, &st) != 0) return 0;
    *size_before = static_cast<long>(st.st_size);
    if (!kv_write_all(fd, line.data(), line.size()) || (kSyncEachChange && fdatasync(fd) != 0)) {
        int err = errno;
        if (ftruncate(fd, st.st_size) != 0) {
            // The line stays half written; the error below is what counts.
        }
        errno = err;
        return 0;
    }
    // A fresh add file (after a rebuild) needs its directory entry to last too.
    if (kSyncEachChange && st.st_size == 0) kv_sync_dir(path);
    return 1;
}

// Creates an empty database file when there is none; never empties one.
void make_database(const char *path) {
    FILE *f = fopen(path, "r");
    if (f) {
        fclose(f);
        return;
    }
    if (errno != ENOENT) return;
    UniqueFd fd(open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0660));
}

// The index answers once it holds kvauth.txt and the add file; it is loaded
// by the first request that needs it. A writer creates the database file
// first, so that its load does not wait for one. The version loaded is noted
// under the same lock, so that no rebuild comes between.
void load(const char *reason) {
    if (!auth_index_built()) {
        auth_lock();
        if (writing) make_database(file_config("kvauth.txt"));
        build_index(reason);
        kvrefresh_note_txt();
        auth_unlock();
    }
    if (!auth_add_replayed()) check_add();
}

// The append failed: the log line and the failure reply name the file.
int append_failed(const char *log_fmt, const char *reply_prefix, const char *add) {
    const char *err = strerror(errno);
    emsg(log_fmt, add, err);
    snprintf(failure_line, sizeof failure_line, "%s Could not access database.(%.100s) (%.100s)",
             reply_prefix, add, err);
    return 0;
}

int put_delete(const char *user, const char *ack) {
    // A name that no line can hold has no record to delete.
    bool storable = kvline_field_ok(KVLINE_USER, user);
    char add[1000];
    ncpy(add, file_config("kvauth.add"), kField);
    UniqueFd fd = open_add(add);
    if (!fd) return append_failed("-ERR Could not append to %s %s\n", "-ERR", add);
    if (storable) {
        long size_before = 0;
        if (!append_change(fd.get(), add, kvline_format(user, "(DELETE)", "(DELETE)"),
                           &size_before))
            return append_failed("-ERR Could not append to %s %s\n", "-ERR", add);
        auth_fixup(user, "(DELETE)", "(DELETE)");
    }
    auth_changelog(user, "(DELETE)", "(DELETE)");
    if (ack) buf_print("%s", ack);
    return 1;
}

int put(const char *user, const char *pass, const char *info, const char *ack) {
    if (strcmp(pass, "(DELETE)") == 0) return put_delete(user, ack);
    char txt[1000], add[1000];
    ncpy(txt, file_config("kvauth.txt"), kField);
    ncpy(add, file_config("kvauth.add"), kField);
    make_database(txt);
    UniqueFd fd = open_add(add);
    if (!fd) return append_failed("-DEAD Could not append to (%.100s) (%.100s)\n", "-DEAD", add);
    long size_before = 0;
    if (!append_change(fd.get(), add, kvline_format(user, pass, info), &size_before))
        return append_failed("-DEAD Could not append to (%.100s) (%.100s)\n", "-DEAD", add);
    auth_changelog(user, pass, info);
    auth_fixup(user, pass, info);
    // The reply goes before the rebuild: the change is kept from here on.
    if (ack) buf_print("%s", ack);

    if (rebuild_size <= 0) rebuild_size = kRebuildSize;
    bool too_large = size_before > rebuild_size;
    fd.reset();
    chmod(add, 0660);
    chmod(txt, 0660);
    if (too_large) auth_rebuild();
    return 1;
}

int begin(bool writes) {
    writing = writes;
    if (writes) auth_lock();
    // Other processes may have changed the database since the last request.
    if (auth_index_built()) kvrefresh_before();
    return 1;
}

void end(bool writes) {
    if (writes) {
        kvrefresh_note();
        auth_unlock();
    }
    writing = false;
}

int find(const char *user, UserView *out) {
    load("pass");
    const USER *u = auth_find(user);
    if (!u) return STORE_MISSING;
    *out = UserView{u->user, u->pass, u->info};
    return STORE_FOUND;
}

// Bucket order, each chain from its head: the order the rebuild writes too.
int walk(const char *, int (*fn)(const UserView &u, void *arg), void *arg) {
    load("search");
    for (int b = 0; b < AUTH_BUCKETS; b++) {
        const USER *ahead = auth_bucket(b);
        for (int i = 0; i < kPrefetch && ahead; i++) ahead = ahead->next;
        for (const USER *u = auth_bucket(b); u; u = u->next) {
            if (ahead) {
                __builtin_prefetch(ahead->user);
                ahead = ahead->next;
            }
            if (!u->user[0]) {
                dmsg("debug: empty slot in database (deleted/changed user).\n");
                continue;
            }
            if (!fn(UserView{u->user, u->pass, u->info}, arg)) return 0;
        }
    }
    return 1;
}

long count() {
    load("search");
    return auth_user_count();
}

const char *failure() {
    return failure_line;
}

void close_store() {
    kvrefresh_close();
    kvindex_close();
    writing = false;
}

const UserStore kFileStore = {begin, end, find, put, walk, count, failure, close_store, nullptr};
}  // namespace

const UserStore &file_store() {
    return kFileStore;
}

int auth_rebuild_size() {
    return rebuild_size;
}
