// An engine directory that fills up or turns read-only: a small tmpfs in a
// private mount namespace, so these tests run only as root.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/server_fixture.h"

namespace {
using Lines = std::vector<std::string>;

// Runs the daemon in a mount namespace of its own with a tmpfs of the given
// size over its engine directory; false where that is not allowed.
bool use_private_tmpfs(TestServer *s, const std::string &size) {
    const std::vector<std::string> unshare = {"/usr/bin/unshare", "--mount", "--propagation",
                                              "private",          "/bin/sh", "-c"};
    std::vector<std::string> probe = unshare;
    probe.push_back("mount -t tmpfs -o size=64k zvprobe /mnt");
    if (geteuid() != 0 || run_program(probe).status != 0) return false;
    // No core file from the deliberate abort of the read-only test.
    s->launcher = unshare;
    s->launcher.insert(s->launcher.end(), {"ulimit -c 0; mount -t tmpfs -o size=" + size +
                                               ",mode=0755 zvfault \"$1\" && shift && exec \"$@\"",
                                           "sh", s->db_dir()});
    return true;
}

// An engine file as the daemon sees it, through its own mount namespace.
std::string in_ns(const TestServer &s, const std::string &name) {
    return "/proc/" + std::to_string(s.pid()) + "/root" + s.db_dir() + "/" + name;
}

long size_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Writes into path until the file system is full; true when it got full.
bool fill(const std::string &path) {
    RunResult r = run_program({"/bin/dd", "if=/dev/zero", "of=" + path, "bs=4096"});
    return r.err.find("No space left on device") != std::string::npos;
}

std::string added(const std::string &user) {
    return "+OK " + user + " added to database";
}

class FullDisk : public ::testing::Test {
   protected:
    // The reply to a request without its identifier.
    std::string ask(ZvClient *c, const std::string &req) {
        Lines r = s.request(c, ++id_, req);
        return r.size() == 1 ? r[0].substr(r[0].find(' ') + 1) : "<no single reply>";
    }
    // Sets a user and remembers the change when the server acknowledged it.
    std::string set(ZvClient *c, const std::string &user, const std::string &info) {
        std::string text = ask(c, "set " + user + " pw" + user + " " + info);
        if (text == added(user)) acked_[user] = info;
        return text;
    }

    TestServer s;
    std::map<std::string, std::string> acked_;
    int id_ = 0;
};

TEST_F(FullDisk, ChangesAreRefusedReadsGoOnAndNothingAcknowledgedIsLost) {
    if (!use_private_tmpfs(&s, "512k"))
        GTEST_SKIP() << "needs root with unshare --mount and tmpfs mounts: no full disk to test on";
    ASSERT_TRUE(s.start());
    ZvClient a, b;
    ASSERT_TRUE(s.connect(&a));
    ASSERT_TRUE(s.connect(&b));
    const std::string big = "note=\"" + std::string(900, 'n') + "\"";
    const std::string add = s.db_dir() + "/kvauth.add";

    // A full disk: an addition that needs a new block is refused whole.
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(set(&a, "early" + std::to_string(i), "q=\"1\""),
                  added("early" + std::to_string(i)));
    ASSERT_TRUE(fill(in_ns(s, "filler")));
    std::string refused;
    long before = 0;
    for (int i = 0; i < 10 && refused.empty(); i++) {
        std::string u = "big" + std::to_string(i);
        before = size_of(in_ns(s, "kvauth.add"));
        std::string r = set(&a, u, big);
        if (r != added(u)) {
            EXPECT_EQ(r, "-DEAD Could not access database.(" + add + ") (No space left on device)");
            refused = u;
        }
    }
    ASSERT_FALSE(refused.empty()) << "no addition ran out of room";
    EXPECT_TRUE(s.wait_log("-DEAD Could not append to (" + add + ") (No space left on device)"));
    // Cut back to its size before: no half line for the next one to spoil.
    EXPECT_EQ(size_of(in_ns(s, "kvauth.add")), before);
    // Reads go on, on this connection and on others.
    EXPECT_EQ(ask(&b, "lookup early1"), "+OK early1 config 0 q=\"1\"");
    EXPECT_EQ(ask(&a, "lookup " + refused), "-ERR " + refused + " not found");

    // Room again: additions are taken; bring the add file close to the
    // rebuild size, then fill the disk once more.
    ASSERT_EQ(unlink(in_ns(s, "filler").c_str()), 0);
    const std::string pad = "q=\"2\" pad=\"" + std::string(60, 'p') + "\"";
    for (int i = 0; i < 400 && size_of(in_ns(s, "kvauth.add")) < 28700; i++)
        ASSERT_EQ(set(&a, "mid" + std::to_string(i), pad), added("mid" + std::to_string(i)));
    ASSERT_LT(size_of(in_ns(s, "kvauth.add")), 29000);
    ASSERT_TRUE(fill(in_ns(s, "filler")));
    // These fit in the add file's last block; the one that finds the file
    // over the rebuild size is acknowledged, and then the rebuild finds no
    // room for the new database file: it gives up and keeps the add file.
    std::string last;
    for (int i = 0; i < 20 && s.log().find("Rebuilding kvauth file") == std::string::npos; i++) {
        last = "late" + std::to_string(i);
        EXPECT_EQ(set(&a, last, "q=\"3\""), added(last));
    }
    EXPECT_TRUE(s.wait_log("-ERR Error writing new file No space left on device")) << s.log();
    EXPECT_EQ(ask(&b, "lookup " + last), "+OK " + last + " config 0 q=\"3\"");

    // Room again: the next additions rebuild after all.
    ASSERT_EQ(unlink(in_ns(s, "filler").c_str()), 0);
    for (int i = 0; i < 3; i++) {
        std::string u = "after" + std::to_string(i);
        EXPECT_EQ(set(&b, u, "q=\"4\""), added(u));
    }
    EXPECT_TRUE(s.wait_log("Wrote "));

    // Every acknowledged change is in the files: a server started on a copy
    // of them (outside the tmpfs) finds each one, and not the refused one.
    TestServer again;
    for (const char *f : {"kvauth.txt", "kvauth.add", "kvauth.add_old"}) {
        std::string text = read_file(in_ns(s, f));
        if (!text.empty()) write_file(again.db_dir() + "/" + f, text);
    }
    EXPECT_TRUE(s.stop());
    ASSERT_TRUE(again.start());
    ZvClient c;
    ASSERT_TRUE(again.connect(&c));
    int id = 1;
    for (const auto &[user, info] : acked_) {
        Lines r = again.request(&c, id, "check " + user + " pw" + user);
        EXPECT_EQ(r, Lines{std::to_string(id) + " +OK " + user + " config 0 " + info});
        id++;
    }
    EXPECT_EQ(again.request(&c, id, "lookup " + refused),
              Lines{std::to_string(id) + " -ERR " + refused + " not found"});
    EXPECT_TRUE(again.stop());
}

TEST_F(FullDisk, ReadOnlyEngineDirectoryStopsTheServerAtTheNextChange) {
    if (!use_private_tmpfs(&s, "256k"))
        GTEST_SKIP() << "needs root with unshare --mount and tmpfs mounts: no read-only engine "
                        "directory to test on";
    ASSERT_TRUE(s.start());
    ZvClient a, b;
    ASSERT_TRUE(s.connect(&a));
    ASSERT_TRUE(s.connect(&b));
    ASSERT_EQ(set(&a, "alice", "q=\"1\""), added("alice"));
    RunResult ro =
        run_program({"/usr/bin/nsenter", "--mount=/proc/" + std::to_string(s.pid()) + "/ns/mnt",
                     "/bin/mount", "-o", "remount,ro", s.db_dir()});
    ASSERT_EQ(ro.status, 0) << ro.err;
    // Reading takes no lock and goes on.
    EXPECT_EQ(ask(&b, "lookup alice"), "+OK alice config 0 q=\"1\"");
    // A change needs the lock file, which cannot be written: the engine
    // cannot work safely and the server stops after telling the client.
    EXPECT_EQ(set(&a, "bob", "q=\"2\""), "-ERR Unable to create lock file (Read-only file system)");
    EXPECT_TRUE(s.wait_log("unable to create lock file (Read-only file system)"));
    for (int i = 0; i < 250 && s.alive(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(s.alive());
}

}  // namespace
