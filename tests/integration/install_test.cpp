// Runs the real zorvexsvr -install and -uninstall. The installer writes to
// /etc and /usr/local, so every run happens inside a private mount namespace
// (unshare --mount) where overlays send those writes to a temporary directory;
// the test then reads the results from the overlays' upper directories.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/server_fixture.h"

namespace fs = std::filesystem;

namespace {

// Writes a file in an overlay's upper directory, where the path may be a
// whiteout that has to go first.
void put_file(const std::string &path, const std::string &data) {
    std::error_code ec;
    fs::remove(path, ec);
    write_file(path, data);
}

unsigned mode_of(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777u;
}

// What the real machine holds at the installer's paths; must never change.
std::string host_state() {
    std::string s;
    for (const char *p : {"/etc/zorvexsvr.conf", "/usr/local/vexmo", "/usr/local/bin/zorvexsvr"}) {
        struct stat st {};
        s += std::string(p) + (lstat(p, &st) != 0 ? " absent" : "") + " " +
             std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
             std::to_string(st.st_mtim.tv_nsec) + "\n";
    }
    return s;
}

// Run as "sh run.sh" after a first line "T=<the test's directory>", inside
// unshare --mount: the mounts land only in that private namespace, and if one
// fails nothing runs. Output goes to files, so that a daemon started by the
// command holds no pipe of the test's open.
const char kRunScript[] = R"(set -e
mount -t overlay overlay -o lowerdir=/etc,upperdir=$T/etc-up,workdir=$T/etc-work /etc
mount -t overlay overlay -o lowerdir=/usr/local,upperdir=$T/ul-up,workdir=$T/ul-work /usr/local
if [ "$1" = "--prepare" ]; then
    # Whatever the machine has installed must not turn a new installation
    # into an upgrade.
    rm -rf /etc/zorvexsvr.conf /usr/local/bin/zorvexsvr /usr/local/vexmo
    exit 0
fi
set +e
cd $T/dist
"$@" > $T/out 2> $T/err
)";

class InstallerRun : public ::testing::Test {
   protected:
    void SetUp() override {
        before_ = host_state();
        if (geteuid() != 0)
            GTEST_SKIP() << "the installer writes to /etc and /usr/local; it is tested only as "
                            "root inside unshare --mount, and this run is not root";
        for (const char *d : {"etc-up", "etc-work", "ul-up", "ul-work", "dist"})
            fs::create_directory(dir_.file(d));
        write_file(dir_.file("run.sh"), "#!/bin/sh\nT=" + dir_.path() + "\n" + kRunScript);
        if (run_command({"--prepare"}).status != 0)
            GTEST_SKIP() << "unshare --mount with overlay mounts over /etc and /usr/local is "
                            "not permitted here; the installer is not run outside a private "
                            "mount namespace";
        server_ = read_file(program_path("zorvexsvr"));
        ASSERT_FALSE(server_.empty()) << "build/zorvexsvr is missing";
        write_file(dist("zorvexsvr"), server_);
        chmod(dist("zorvexsvr").c_str(), 0755);
        write_file(dist("zorvex"), "zorvex client, distribution copy 1\n");
    }

    void TearDown() override {
        EXPECT_EQ(host_state(), before_) << "the real /etc or /usr/local changed";
    }

    std::string dist(const std::string &name) const { return dir_.file("dist/" + name); }
    // Paths as the installer saw them, read back from the overlays.
    std::string etc(const std::string &name) const { return dir_.file("etc-up/" + name); }
    std::string vexmo(const std::string &name) const { return dir_.file("ul-up/vexmo/" + name); }
    std::string localbin(const std::string &name) const { return dir_.file("ul-up/bin/" + name); }

    RunResult run(const std::string &option, const std::string &input) const {
        return run_command({"./zorvexsvr", option}, input);
    }

    // sh run.sh command in new mount and network namespaces.
    RunResult run_command(const std::vector<std::string> &command,
                          const std::string &input = "") const {
        std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--net",
                                         "--propagation",    "private", "/bin/sh",
                                         dir_.file("run.sh")};
        argv.insert(argv.end(), command.begin(), command.end());
        RunResult r = run_program(argv, input);
        if (command[0] != "--prepare") {
            r.out = read_file(dir_.file("out"));
            r.err = read_file(dir_.file("err"));
        }
        return r;
    }

    TempDir dir_;
    std::string before_;
    std::string server_;
};

const std::string kNewInstallOut =
    "ZORVEX - New Installation\n\n"
    "NOTE!! - Add /usr/local/vexmo/zorvexsvr_start.sh to your startup scripts, e.g. typically "
    "rc.local\n"
    "Then start it manually by running that script, see zorvexsvr.log\n"
    "See this page for configuration instructions:\n"
    "    README.md in the zorvexsvr distribution, section Configuration\n"
    "\nSuccess - press enter to exit\n";

const std::string kUpgradeOut =
    "Upgrading Zorvex\n"
    "Upgrade completed!\n"
    "\nSuccess - press enter to exit\n";

std::string expected_config() {
    return R"(# Welcome to Zorvex Configuration File.
# Leading # makes line a comment
# Save this file to /etc/zorvexsvr.conf 
# Manual page is at, README.md in the zorvexsvr distribution
# )" + std::string(85, '-') +
           R"(

logdir /usr/local/vexmo
workarea /usr/local/vexmo
debug false

# Other options you may want to specify
# )" + std::string(37, '-') +
           R"(
# kvauth_database d:\vexmo
# authent_process /usr/local/vexmo/kvauth
# authent_number 3
)";
}

const std::string kStartScript = "#!/bin/sh\ncd /usr/local/vexmo\nulimit -c 20000\n./zorvexsvr\n";
const std::string kStopScript = "#!/bin/sh\ncd /usr/local/vexmo\ntouch zorvexsvr.exit\n";

// A first installation without the client in the distribution (reported,
// and the installation goes on; end of input at the final prompt still
// installs), then an upgrade of a configured system.
TEST_F(InstallerRun, NewInstallationThenUpgrade) {
    fs::remove(dist("zorvex"));
    RunResult r = run("-install", "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kNewInstallOut);
    EXPECT_EQ(r.err, "zorvex: No such file or directory\n");
    EXPECT_EQ(read_file(etc("zorvexsvr.conf")), expected_config());
    EXPECT_EQ(read_file(vexmo("zorvexsvr_start.sh")), kStartScript);
    EXPECT_EQ(read_file(vexmo("zorvexsvr_stop.sh")), kStopScript);
    EXPECT_EQ(read_file(vexmo("zorvexsvr")), server_);
    for (const char *f : {"zorvexsvr_start.sh", "zorvexsvr_stop.sh", "zorvexsvr"})
        EXPECT_EQ(mode_of(vexmo(f)), 0700u) << f;
    EXPECT_FALSE(fs::exists(vexmo("zorvex")));
    // Installing puts nothing into the system's program directory.
    EXPECT_FALSE(fs::exists(localbin("zorvexsvr")));

    // Edited configuration and scripts, a program that lost its mode, an
    // older and longer client, and a newer one in the distribution.
    put_file(etc("zorvexsvr.conf"), "port 650\n");
    put_file(vexmo("zorvexsvr_start.sh"), "#!/bin/sh\necho edited start\n");
    put_file(vexmo("zorvexsvr_stop.sh"), "#!/bin/sh\necho edited stop\n");
    chmod(vexmo("zorvexsvr_start.sh").c_str(), 0750);
    chmod(vexmo("zorvexsvr").c_str(), 0644);
    put_file(vexmo("zorvex"), "an old client, longer than the new copy of it\n");
    write_file(dist("zorvex"), "zorvex client, distribution copy 2\n");
    r = run("-install", "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kUpgradeOut);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(etc("zorvexsvr.conf")), "port 650\n");
    EXPECT_EQ(read_file(vexmo("zorvexsvr_start.sh")), "#!/bin/sh\necho edited start\n");
    EXPECT_EQ(read_file(vexmo("zorvexsvr_stop.sh")), "#!/bin/sh\necho edited stop\n");
    EXPECT_EQ(mode_of(vexmo("zorvexsvr_start.sh")), 0750u);
    EXPECT_EQ(read_file(vexmo("zorvex")), "zorvex client, distribution copy 2\n");
    EXPECT_EQ(read_file(vexmo("zorvexsvr")), server_);
    EXPECT_EQ(mode_of(vexmo("zorvexsvr")), 0700u);
    EXPECT_EQ(mode_of(vexmo("zorvex")), 0700u);
}

TEST_F(InstallerRun, UninstallRemovesOnlyOnLowerCaseY) {
    const std::string question = "Are you sure you want to uninstall zorvex [no]?";
    // With nothing installed it still succeeds.
    RunResult r = run("-uninstall", "y\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, question + "ZORVEX has been uninstalled\n");
    EXPECT_EQ(r.err, "");

    ASSERT_EQ(run("-install", "\n").out, kNewInstallOut);
    struct Case {
        const char *input;
        bool removes;
    } cases[] = {
        {"", false}, {"\n", false}, {"Y\n", false}, {"y\n", true}, {"yes please\n", true},
    };
    for (const Case &c : cases) {
        fs::create_directories(dir_.file("ul-up/bin"));
        put_file(localbin("zorvexsvr"), "installed server\n");
        put_file(etc("zorvexsvr.conf"), expected_config());
        r = run("-uninstall", c.input);
        EXPECT_EQ(r.status, 0) << c.input;
        EXPECT_EQ(r.err, "") << c.input;
        EXPECT_EQ(r.out, question + (c.removes ? "ZORVEX has been uninstalled\n" : "")) << c.input;
        EXPECT_EQ(fs::is_regular_file(localbin("zorvexsvr")), !c.removes) << c.input;
        EXPECT_EQ(fs::is_regular_file(etc("zorvexsvr.conf")), !c.removes) << c.input;
        // The installation directory is never touched.
        EXPECT_EQ(read_file(vexmo("zorvexsvr")), server_) << c.input;
        EXPECT_EQ(read_file(vexmo("zorvexsvr_start.sh")), kStartScript) << c.input;
    }
}

// What README tells an administrator to do, as one shell session: install,
// start with the start script, stop with the stop script, uninstall. In a
// network namespace of its own, port 601 is free and private.
const char kLifecycleScript[] = R"(
alive() {
    state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' /proc/$1/status 2>/dev/null)
    [ -n "$state" ] && [ "$state" != Z ]
}
printf '\n' | ./zorvexsvr -install > /dev/null
/usr/local/vexmo/zorvexsvr_start.sh
i=0
while [ ! -s /usr/local/vexmo/zorvexsvr.pid ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
pid=$(cat /usr/local/vexmo/zorvexsvr.pid)
[ -n "$pid" ] && alive "$pid" && echo running
/usr/local/vexmo/zorvexsvr_stop.sh
i=0
while alive "$pid" && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
if alive "$pid"; then echo "still running"; kill "$pid"; else echo stopped; fi
printf 'y\n' | ./zorvexsvr -uninstall
)";

TEST_F(InstallerRun, StartAndStopScriptsRunTheInstalledServer) {
    write_file(dir_.file("lifecycle.sh"), kLifecycleScript);
    RunResult r = run_command({"sh", dir_.file("lifecycle.sh")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Detaching process...\nrunning\nstopped\n"
              "Are you sure you want to uninstall zorvex [no]?ZORVEX has been uninstalled\n");
    EXPECT_EQ(r.err, "");
    // The server ran from the installation directory with the installed
    // configuration: its log is there and records the orderly stop.
    std::string log = read_file(vexmo("zorvexsvr.log"));
    EXPECT_NE(log.find("Zorvexsvr 1.1e Starting"), std::string::npos) << log;
    EXPECT_NE(log.find("zorvexsvr exit called"), std::string::npos) << log;
    EXPECT_EQ(read_file(vexmo("zorvex")), "zorvex client, distribution copy 1\n");
    EXPECT_EQ(mode_of(vexmo("zorvex")), 0700u);
    EXPECT_FALSE(fs::is_regular_file(etc("zorvexsvr.conf")));
}

}  // namespace
