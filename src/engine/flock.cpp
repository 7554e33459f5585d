#include "engine/flock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/emsg.h"
#include "engine/kvprint.h"
#include "engine/kvfilename.h"
#include "engine/kvindex.h"
#include "lib/lib.h"

namespace {
int has_lock;
FilePtr l_f;

// Without the lock the database files could be interleaved by two writers:
// the process must not go on.
[[noreturn]] void lock_fatal(const char *log_fmt, const char *reply_fmt, const char *err) {
    emsg(log_fmt, err);
    buf_print(reply_fmt, err);
    buf_flush();
    abort();
}
}  // namespace

int myflock(int fd, int operation) {
    emsg("flock_fcntl locking (%d) with (%d)", fd, operation);
    int cmd = (operation & LOCK_NB) ? F_SETLK : F_SETLKW;
    struct flock fl {};
    if (operation & LOCK_EX)
        fl.l_type = F_WRLCK;
    else if (operation & LOCK_SH)
        fl.l_type = F_RDLCK;
    else
        fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    fl.l_pid = 0;
    int r = fcntl(fd, cmd, &fl);
    if (r == -1 && (errno == EACCES || errno == EAGAIN)) errno = EWOULDBLOCK;
    return r;
}

int auth_lock() {
    if (++has_lock > 1) return 1;
    // Whoever can open the lock file can hold a read lock and stall every
    // writer: group and owner only, like the other engine files, whatever
    // the umask (the chmod also narrows a file that an older run created).
    int fd = open(file_config("kvauth.lck3"), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0660);
    if (fd >= 0) {
        fchmod(fd, 0660);  // fails harmlessly on a file of another user
        l_f.reset(fdopen(fd, "w"));
        if (!l_f) close(fd);
    }
    if (!l_f)
        lock_fatal("unable to create lock file (%.200s)",
                   "-ERR Unable to create lock file (%.200s)\n", strerror(errno));
    fputs("testing\n", l_f.get());
    fflush(l_f.get());
    rewind(l_f.get());
    errno = 0;
    if (myflock(fileno(l_f.get()), LOCK_EX) != 0)
        lock_fatal("Locking failed %s use -nfs for nfs disks\n",
                   "-ERR Unable to lock database %s use -nfs for nfs disks\n", strerror(errno));
    return 1;
}

int auth_unlock() {
    if (has_lock <= 0) return 1;  // an unmatched unlock must not unbalance the next lock
    if (--has_lock != 0) return 1;
    if (l_f) myflock(fileno(l_f.get()), LOCK_UN);
    l_f.reset();
    return 1;
}

int auth_lock_depth() {
    return has_lock;
}

void flock_reset_for_test() {
    has_lock = 0;
    l_f.reset();
}
