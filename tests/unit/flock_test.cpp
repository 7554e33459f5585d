#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/flock.h"
#include "engine_env.h"

namespace {

class LockTest : public EngineTest {
   protected:
    // Forks a child that runs fn and exits with its result; returns its pid.
    template <class F>
    pid_t spawn(F fn) {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            flock_reset_for_test();  // the child holds no lock of its own
            _exit(fn());
        }
        return pid;
    }
    int wait_child(pid_t pid) {
        int st = 0;
        for (int i = 0; i < 3000; i++) {  // at most 30 s
            if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            usleep(10000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        return -2;
    }
    // 1 when another process could take the lock file without waiting.
    int probe_free() {
        std::string path = file("kvauth.lck3");
        pid_t pid = spawn([&] {
            int fd = open(path.c_str(), O_RDWR);
            if (fd < 0) return 3;
            int r = myflock(fd, LOCK_EX | LOCK_NB);
            if (r == 0) return 1;
            return errno == EWOULDBLOCK ? 0 : 4;
        });
        return wait_child(pid);
    }
};

TEST_F(LockTest, NestsWithinProcess) {
    // (Reading the lock file here would drop the lock: closing any descriptor
    // of a file ends the process's record locks on it.)
    mode_t mask = umask(077);  // the lock file is 0660 whatever the umask
    EXPECT_EQ(auth_lock(), 1);
    umask(mask);
    EXPECT_EQ(auth_lock(), 1);
    EXPECT_EQ(auth_lock_depth(), 2);
    EXPECT_EQ(mode("kvauth.lck3"), 0660);
    EXPECT_EQ(probe_free(), 0);
    auth_unlock();
    EXPECT_EQ(probe_free(), 0);
    auth_unlock();
    EXPECT_EQ(auth_lock_depth(), 0);
    EXPECT_EQ(probe_free(), 1);
    EXPECT_EQ(read_file(file("kvauth.lck3")), "testing\n");
    EXPECT_TRUE(log_has("flock_fcntl locking ("));
    auth_unlock();  // an unmatched unlock is harmless
    EXPECT_EQ(auth_lock_depth(), 0);
    auth_lock();
    EXPECT_EQ(probe_free(), 0);
    auth_unlock();
}

TEST_F(LockTest, LockEndsWithHolderProcess) {
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t holder = spawn([&] {
        close(go[0]);
        auth_lock();
        if (write(go[1], "l", 1) != 1) return 1;
        pause();  // killed below while holding the lock
        return 0;
    });
    close(go[1]);
    char c;
    ASSERT_EQ(read(go[0], &c, 1), 1);
    close(go[0]);
    EXPECT_EQ(probe_free(), 0);
    kill(holder, SIGKILL);
    wait_child(holder);
    EXPECT_EQ(auth_lock(), 1);
    auth_unlock();
}

}  // namespace
