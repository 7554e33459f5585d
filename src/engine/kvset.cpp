#include "engine/kvset.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/emsg.h"
#include "engine/flock.h"
#include "engine/kvprint.h"
#include "engine/kvfilename.h"
#include "engine/kvrebuild.h"
#include "engine/kvrules.h"
#include "engine/kvfile.h"
#include "engine/kvindex.h"
#include "engine/kvline.h"
#include "engine/ld_sha.h"
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
char encoded[1000];

void refuse(const char *text) {
    emsg("%s", text);
    buf_print("%s", text);
}

UniqueFd open_add(const char *path) {
    return UniqueFd(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0660));
}

// Appends one change line with one write, before any reply can acknowledge
// it. On failure the file is cut
// back to its old size (a half line would spoil the next one) and errno is
// kept. size_before: the file's size before this line.
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

}  // namespace

int auth_rebuild_size() {
    return rebuild_size;
}

const char *str_encode(const char *s) {
    if (*s == '*') return s;
    strcpy(encoded, "{ssha}");
    if (create_ssha_base64_digest(s, encoded + 6, 990)) return encoded;
    emsg("SSHA hashing debug and error information (%.200s)", get_sha_error());
    emsg("Could not hash password for (%s) using SSHA", s);
    strcpy(encoded, "{ssha}function_failed");
    return encoded;
}

int auth_set_raw(const char *user, const char *pass, const char *info) {
    check_add();
    emsg("auth_set(%s,xxxx)\n", user);
    if (const char *refused = set_refusal(user, pass)) {
        refuse(refused);
        return 0;
    }
    char txt[1000], add[1000];
    ncpy(txt, file_config("kvauth.txt"), kField);
    ncpy(add, file_config("kvauth.add"), kField);
    make_database(txt);
    // "(NULL)" takes the stored password from the index, which must hold
    // kvauth.txt for that: load it when nothing has yet.
    if (!auth_index_built()) {
        build_index("set");
        check_add();
    }

    std::string stored = strcmp(pass, "(NULL)") == 0 ? db_pass(user) : str_encode(pass);
    const char *refused = line_refusal(user, stored.c_str(), info);
    // A block changes the record beyond its line: the rebuild must still be
    // able to write the blocked record as a line that reads back.
    const USER *u = auth_find(user);
    std::string blocked;
    if (!refused && u && strcmp(info, "(BLOCK)") == 0 && info_block(u->info, &blocked))
        refused = line_refusal(u->user, u->pass, blocked.c_str());
    if (refused) {
        refuse(refused);
        return 0;
    }
    UniqueFd fd = open_add(add);
    if (!fd) {
        const char *err = strerror(errno);
        emsg("-DEAD Could not append to (%.100s) (%.100s)\n", add, err);
        buf_print("-DEAD Could not access database.(%.100s) (%.100s)\n", add, err);
        return 0;
    }
    long size_before = 0;
    if (!append_change(fd.get(), add, kvline_format(user, stored.c_str(), info), &size_before)) {
        const char *err = strerror(errno);
        emsg("-DEAD Could not append to (%.100s) (%.100s)\n", add, err);
        buf_print("-DEAD Could not access database.(%.100s) (%.100s)\n", add, err);
        return 0;
    }
    auth_changelog(user, stored.c_str(), info);
    auth_fixup(user, stored.c_str(), info);
    buf_print("+OK %s added to database\n", user);

    if (rebuild_size <= 0) rebuild_size = kRebuildSize;
    bool too_large = size_before > rebuild_size;
    fd.reset();
    chmod(add, 0660);
    chmod(txt, 0660);
    if (too_large) auth_rebuild();
    return 1;
}

int auth_mod_raw(const char *user, const char *pass, const char *addinfo) {
    check_add();
    char info[1000];
    if (!db_check(user, nullptr, info)) {
        buf_print("-ERR No such user\n");
        return 1;
    }
    auth_set(user, pass, mod_info(info, addinfo).c_str());
    return 1;
}

int auth_del_raw(const char *user, int silent) {
    emsg("auth_del(%s,%d)\n", user, silent);
    // A name that no line can hold has no record to delete; a deletion line
    // that would not read back would leave the user in place after a restart.
    bool storable = kvline_field_ok(KVLINE_USER, user);
    if (const char *refused = storable ? line_refusal(user, "(DELETE)", "(DELETE)") : nullptr) {
        refuse(refused);
        return 0;
    }
    char add[1000];
    ncpy(add, file_config("kvauth.add"), kField);
    UniqueFd fd = open_add(add);
    if (!fd) {
        const char *err = strerror(errno);
        emsg("-ERR Could not append to %s %s\n", add, err);
        buf_print("-ERR Could not access database.(%.100s) (%.100s)\n", add, err);
        return 0;
    }
    if (storable) {
        long size_before = 0;
        if (!append_change(fd.get(), add, kvline_format(user, "(DELETE)", "(DELETE)"),
                           &size_before)) {
            const char *err = strerror(errno);
            emsg("-ERR Could not append to %s %s\n", add, err);
            buf_print("-ERR Could not access database.(%.100s) (%.100s)\n", add, err);
            return 0;
        }
        auth_fixup(user, "(DELETE)", "(DELETE)");
    }
    auth_changelog(user, "(DELETE)", "(DELETE)");
    if (!silent) buf_print("+OK Deleted user successfully\n");
    return 1;
}

int auth_set(const char *user, const char *pass, const char *info) {
    auth_lock();
    int r = auth_set_raw(user, pass, info);
    auth_unlock();
    return r;
}

int auth_mod(const char *user, const char *pass, const char *addinfo) {
    auth_lock();
    int r = auth_mod_raw(user, pass, addinfo);
    auth_unlock();
    return r;
}

int auth_del(const char *user, int silent) {
    auth_lock();
    int r = auth_del_raw(user, silent);
    auth_unlock();
    return r;
}
