#include "pool/lib_spawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/emsg.h"
#include "lib/lib.h"

namespace {
constexpr int kMsgLen = 999;
constexpr int kKillTries = 25;

int xread[2] = {-1, -1};   // becomes the child's standard input
int xwrite[2] = {-1, -1};  // becomes the child's standard output
char *args[100];
char *noenv[100];
bool exec_failed;

// Waits for the child's exec through a pipe that the exec closes (it is
// close-on-exec) and a failed exec writes its errno to: the time between
// fork and exec, not the program's own start.
bool exec_failed_on(int fd) {
    int err = 0;
    ssize_t n;
    do {
        n = read(fd, &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof err);
}

void close_pair(int *p) {
    for (int i = 0; i < 2; i++) {
        if (p[i] >= 0) close(p[i]);
        p[i] = -1;
    }
}

// Puts fd on target in the child and drops the pipe's own descriptor of it.
void move_fd(int fd, int target) {
    if (fd == target) return;
    dup2(fd, target);
    close(fd);
}
}  // namespace

int lib_spawn(const char *cmd, char **env, int *xin, int *xout, char *msg) {
    *xin = -1;
    *xout = -1;
    if (pipe(xread) != 0) {
        ncpy(msg, strerror(errno), kMsgLen);
        xread[0] = xread[1] = -1;
        return 0;
    }
    if (pipe(xwrite) != 0) {
        ncpy(msg, strerror(errno), kMsgLen);
        xwrite[0] = xwrite[1] = -1;
        close_pair(xread);  // unreachable for the caller otherwise
        return 0;
    }
    args[0] = const_cast<char *>(cmd);
    args[1] = nullptr;
    *xin = xread[1];
    *xout = xwrite[0];
    // Later children must not inherit this child's pipes, and the child must
    // not inherit the server's standard streams (it starts without stderr).
    close_on_exec(*xin);
    close_on_exec(*xout);
    close_on_exec(0);
    close_on_exec(1);
    close_on_exec(2);
    // Whatever the server has buffered must not be written a second time by
    // the child's flush after a failed exec.
    fflush(nullptr);
    exec_failed = false;
    int status[2] = {-1, -1};
    if (pipe2(status, O_CLOEXEC) != 0) status[0] = status[1] = -1;
    pid_t pid = fork();
    if (pid == 0) {
        move_fd(xread[0], 0);
        move_fd(xwrite[1], 1);
        execve(cmd, args, env);
        int err = errno;
        if (status[1] >= 0) (void)!write(status[1], &err, sizeof err);
        emsg("lib_spawn: Error on exec %s %s", cmd, strerror(err));
        fflush(nullptr);
        _exit(0);
    }
    if (status[1] >= 0) close(status[1]);
    if (status[0] >= 0) {
        if (pid > 0) exec_failed = exec_failed_on(status[0]);
        close(status[0]);
    }
    close(xread[0]);
    close(xwrite[1]);
    xread[0] = xwrite[1] = -1;
    if (pid < 0) {
        ncpy(msg, strerror(errno), kMsgLen);
        close_pair(xread);
        close_pair(xwrite);
        *xin = -1;
        *xout = -1;
        return -1;
    }
    return static_cast<int>(pid);
}

bool spawn_exec_failed() {
    return exec_failed;
}

int lib_spawn_noenv(const char *cmd, int *hin, int *hout, char *msg) {
    noenv[0] = nullptr;
    return lib_spawn(cmd, noenv, hin, hout, msg);
}

int spawn_write(int fd, const char *buf, int n) {
    return static_cast<int>(write(fd, buf, static_cast<size_t>(n)));
}

int spawn_read(int fd, char *buf, int n) {
    return static_cast<int>(read(fd, buf, static_cast<size_t>(n)));
}

int spawn_nready(int fd) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0 || n < 0) return 0;
    return n;
}

int spawn_close(int fd, int pid) {
    close(fd);
    // Only its own child: another one's status belongs to whoever started it.
    if (pid < 1) return 0;  // waitpid would take it for a process group
    int st = 0;
    return static_cast<int>(waitpid(pid, &st, WNOHANG));
}

int spawn_isalive(int pid) {
    errno = 0;
    if (pid < 1) return 0;
    int st = 0;
    if (waitpid(pid, &st, WNOHANG | WUNTRACED) == pid) return 0;
    if (errno == ECHILD) return 0;
    return 1;
}

namespace {
// The first steps of every kill: 0 when the child has already ended.
int signal_child(int pid) {
    imsg("spawn_kill(pid=%d) killing process\n", pid);
    if (!spawn_isalive(pid)) {
        imsg("it was already dead\n");
        return 0;
    }
    imsg("killing slave process, handle %d\n", pid);
    if (kill(pid, SIGKILL) != 0)
        imsg("*** Warning *** kill(%d) Failed, %s\n", pid, strerror(errno));
    return 1;
}
}  // namespace

int spawn_kill_nowait(int pid) {
    // Opened before the signal, while the unreaped pid can name no other
    // process; it is close-on-exec already.
    int fd = pid > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
    signal_child(pid);
    return fd;
}

int spawn_reaped(int pid) {
    if (pid < 1) return 1;  // waitpid would take it for a process group
    int st = 0;
    pid_t r = waitpid(pid, &st, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
}

int spawn_kill(int pid) {
    if (!signal_child(pid)) return 1;
    int tries = 0;
    for (; tries < kKillTries; tries++) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG | WUNTRACED);
        if (r == pid) break;
        if (r == 0) imsg("waitpid(%d) failed, this is normal (%s)\n", pid, strerror(errno));
        lib_sleep(2);
    }
    if (tries == kKillTries) imsg("** Process %d resisted killing\n", pid);
    return 1;
}
