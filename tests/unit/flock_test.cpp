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
    // Forks a child that runs fn and returns its exit status.
    template <class F>
    int in_child(F fn) {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            flock_reset_for_test();  // the child holds no lock of its own
            _exit(fn());
        }
        int st = 0;
        waitpid(pid, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    // 1 when another process could take the lock file without waiting.
    int probe_free() {
        const std::string path = file("kvauth.lck3");
        return in_child([&] {
            int fd = open(path.c_str(), O_RDWR);
            if (fd < 0) return 3;
            if (myflock(fd, LOCK_EX | LOCK_NB) == 0) return 1;
            return errno == EWOULDBLOCK ? 0 : 4;
        });
    }
};

// (Reading the lock file here would drop the lock: closing any descriptor
// of a file ends the process's record locks on it.)
TEST_F(LockTest, NestsWithinProcessAndEndsWithItsHolder) {
    mode_t mask = umask(077);  // the lock file is 0660 whatever the umask
    EXPECT_EQ(auth_lock(), 1);
    umask(mask);
    EXPECT_EQ(auth_lock(), 1);
    EXPECT_EQ(mode("kvauth.lck3"), 0660);
    auth_unlock();
    EXPECT_EQ(probe_free(), 0);
    auth_unlock();
    EXPECT_EQ(probe_free(), 1);
    EXPECT_EQ(read_file(file("kvauth.lck3")), "testing\n");
    auth_unlock();  // an unmatched unlock is harmless
    EXPECT_EQ(auth_lock_depth(), 0);
    // A process killed while holding the lock leaves it free.
    EXPECT_EQ(in_child([] {
                  auth_lock();
                  kill(getpid(), SIGKILL);
                  return 0;
              }),
              -1);
    EXPECT_EQ(probe_free(), 1);
}

}  // namespace
