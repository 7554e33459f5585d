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
#include "engine/ld_sha.h"
#include "lib/lib.h"

namespace {
constexpr int kField = 999;
constexpr int kRebuildSize = 29000;
// The longest database line, line feed not counted, that is read back as one record.
constexpr size_t kMaxLine = 998;
constexpr const char *kLineTooLong = "-ERR Line too long\n";
constexpr size_t kSshaStored = 38;  // "{ssha}" and the 32-character digest
// Bytes that end a field of a database line when it is read back.
constexpr const char *kLineSeparators = ": \t\r\n";

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

// A name with a line separator cannot be in the index, and its deletion
// line would be read back as a change of some other user.
bool unstorable_name(const char *user) {
    return !*user || strpbrk(user, kLineSeparators);
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

std::string change_line(const char *user, const char *pass, const char *info) {
    std::string line(user);
    line += ':';
    line += pass;
    line += ':';
    line += info;
    line += '\n';
    return line;
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

int auth_set_raw(const char *user, const char *pass, const char *info_in) {
    check_add();
    emsg("auth_set(%s,xxxx)\n", user);
    if (const char *refused = set_refusal(user, pass)) {
        refuse(refused);
        return 0;
    }
    char info[1000];
    ncpy(info, info_in, kField);
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

    // The stored form's length decides whether the line can be read back:
    // anything after the reader's limit would become a record of its own.
    bool keep_pass = strcmp(pass, "(NULL)") == 0;
    size_t pass_len = keep_pass ? strlen(db_pass(user)) : *pass == '*' ? strlen(pass) : kSshaStored;
    if (strlen(user) + pass_len + strlen(info) + 2 > kMaxLine) {
        refuse(kLineTooLong);
        return 0;
    }
    UniqueFd fd = open_add(add);
    if (!fd) {
        const char *err = strerror(errno);
        emsg("-DEAD Could not append to (%.100s) (%.100s)\n", add, err);
        buf_print("-DEAD Could not access database.(%.100s) (%.100s)\n", add, err);
        return 0;
    }
    char stored[1000];
    ncpy(stored, keep_pass ? db_pass(user) : str_encode(pass), kField);

    long size_before = 0;
    if (!append_change(fd.get(), add, change_line(user, stored, info), &size_before)) {
        const char *err = strerror(errno);
        emsg("-DEAD Could not append to (%.100s) (%.100s)\n", add, err);
        buf_print("-DEAD Could not access database.(%.100s) (%.100s)\n", add, err);
        return 0;
    }
    auth_changelog(user, stored, info);
    auth_fixup(user, stored, info);
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
    char add[1000];
    ncpy(add, file_config("kvauth.add"), kField);
    UniqueFd fd = open_add(add);
    if (!fd) {
        const char *err = strerror(errno);
        emsg("-ERR Could not append to %s %s\n", add, err);
        buf_print("-ERR Could not access database.(%.100s) (%.100s)\n", add, err);
        return 0;
    }
    if (!unstorable_name(user)) {
        long size_before = 0;
        if (!append_change(fd.get(), add, change_line(user, "(DELETE)", "(DELETE)"),
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
