// Runs the real zorvexsvr -install and -uninstall. The installer writes to
// /etc and /usr/local, so every run happens inside a private mount namespace
// (unshare --mount) where overlays send those writes to a temporary directory;
// the test then reads the results from the overlays' upper directories.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <tuple>
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
// fails nothing runs. Whatever the machine has installed is hidden, lest a
// new installation become an upgrade.
const char kRunScript[] = R"(set -e
mount -t overlay overlay -o lowerdir=/etc,upperdir=$T/etc-up,workdir=$T/etc-work /etc
mount -t overlay overlay -o lowerdir=/usr/local,upperdir=$T/ul-up,workdir=$T/ul-work /usr/local
if [ "$1" = "--prepare" ]; then
    rm -rf /etc/zorvexsvr.conf /usr/local/bin/zorvexsvr /usr/local/vexmo
    exit 0
fi
set +e
cd $T/dist
exec "$@"
)";

const std::string kNewInstallOut =
    "ZORVEX - New Installation\n\n"
    "NOTE!! - Add /usr/local/vexmo/zorvexsvr_start.sh to your startup scripts, e.g. typically "
    "rc.local\n"
    "Then start it manually by running that script, see zorvexsvr.log\n"
    "See this page for configuration instructions:\n"
    "    README.md in the zorvexsvr distribution, section Configuration\n"
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

// A first installation without the client in the distribution (reported,
// and the installation goes on; end of input at the final prompt still
// installs), an upgrade of an edited system, then uninstalling.
TEST(InstallerRun, NewInstallationUpgradeAndUninstall) {
    const std::string before = host_state();
    if (geteuid() != 0) GTEST_SKIP() << "the installer is run only as root in unshare --mount";
    TempDir d;
    for (const char *sub : {"etc-up", "etc-work", "ul-up", "ul-work", "dist"})
        fs::create_directory(d.file(sub));
    write_file(d.file("run.sh"), "#!/bin/sh\nT=" + d.path() + "\n" + kRunScript);
    // sh run.sh command in new mount and network namespaces.
    auto run = [&](const std::string &option, const std::string &input = "") {
        std::vector<std::string> argv = {"/usr/bin/unshare", "--mount",     "--net",
                                         "--propagation",    "private",     "/bin/sh",
                                         d.file("run.sh"),   "./zorvexsvr", option};
        if (option == "--prepare") argv.erase(argv.end() - 2);
        return run_program(argv, input);
    };
    if (run("--prepare").status != 0)
        GTEST_SKIP() << "no overlay mounts over /etc and /usr/local in unshare --mount here";
    // Paths as the installer saw them, read back from the overlays.
    auto dist = [&](const std::string &f) { return d.file("dist/" + f); };
    auto etc = [&](const std::string &f) { return d.file("etc-up/" + f); };
    auto vexmo = [&](const std::string &f) { return d.file("ul-up/vexmo/" + f); };
    auto localbin = [&](const std::string &f) { return d.file("ul-up/bin/" + f); };
    const std::string server = read_file(program_path("zorvexsvr"));
    ASSERT_FALSE(server.empty());
    write_file(dist("zorvexsvr"), server);
    chmod(dist("zorvexsvr").c_str(), 0755);

    const std::string start = "#!/bin/sh\ncd /usr/local/vexmo\nulimit -c 20000\n./zorvexsvr\n";
    // Path, contents and mode of each installed file.
    using Files = std::vector<std::tuple<std::string, std::string, unsigned>>;
    auto check = [&](const Files &files) {
        for (const auto &[path, data, mode] : files) {
            EXPECT_EQ(read_file(path), data) << path;
            EXPECT_EQ(mode_of(path), mode) << path;
        }
    };
    fs::remove(dist("zorvex"));
    RunResult r = run("-install", "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kNewInstallOut);
    EXPECT_EQ(r.err, "zorvex: No such file or directory\n");
    check({{etc("zorvexsvr.conf"), expected_config(), 0644},
           {vexmo("zorvexsvr_start.sh"), start, 0700},
           {vexmo("zorvexsvr_stop.sh"), "#!/bin/sh\ncd /usr/local/vexmo\ntouch zorvexsvr.exit\n",
            0700},
           {vexmo("zorvexsvr"), server, 0700},
           {vexmo("zorvex"), "", 0},
           {localbin("zorvexsvr"), "", 0}});

    // Edited configuration and script, a program that lost its mode, an
    // older and longer client, and a newer one in the distribution.
    put_file(etc("zorvexsvr.conf"), "port 650\n");
    put_file(vexmo("zorvexsvr_start.sh"), "#!/bin/sh\necho edited start\n");
    chmod(vexmo("zorvexsvr_start.sh").c_str(), 0750);
    chmod(vexmo("zorvexsvr").c_str(), 0644);
    // The old client (a copy of /bin/sleep, longer than the new one) is
    // running: the copy waits for it to stop, then replaces it whole.
    std::error_code ec;
    fs::remove(vexmo("zorvex"), ec);
    fs::copy_file("/bin/sleep", vexmo("zorvex"));
    pid_t pid = fork();
    if (pid == 0) {
        execl(vexmo("zorvex").c_str(), "zorvex", "1", nullptr);
        _exit(127);
    }
    for (int i = 0; i < 200 && fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) !=
                                   vexmo("zorvex");
         i++)
        usleep(10000);
    write_file(dist("zorvex"), "zorvex client, distribution copy 2\n");
    r = run("-install", "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Upgrading Zorvex\nUpgrade completed!\n\nSuccess - press enter to exit\n");
    EXPECT_EQ(r.err, "");
    waitpid(pid, nullptr, 0);
    check({{etc("zorvexsvr.conf"), "port 650\n", 0644},
           {vexmo("zorvexsvr_start.sh"), "#!/bin/sh\necho edited start\n", 0750},
           {vexmo("zorvexsvr"), server, 0700},
           {vexmo("zorvex"), "zorvex client, distribution copy 2\n", 0700}});

    // Only a first line starting with a lower-case y (the last two) removes
    // the configuration and the program in /usr/local/bin, not the
    // installation directory.
    const std::string question = "Are you sure you want to uninstall zorvex [no]?";
    int row = 0;
    for (const char *input : {"", "\n", "Y\n", " y\n", "no\ny\n", "y\n", "yes please\n"}) {
        bool removes = row++ >= 5;
        fs::create_directories(d.file("ul-up/bin"));
        put_file(localbin("zorvexsvr"), "installed server\n");
        put_file(etc("zorvexsvr.conf"), "x\n");
        r = run("-uninstall", input);
        EXPECT_EQ(r.status, 0) << input;
        EXPECT_EQ(r.out + r.err, question + (removes ? "ZORVEX has been uninstalled\n" : ""));
        EXPECT_EQ(fs::exists(localbin("zorvexsvr")), !removes) << input;
        EXPECT_EQ(fs::exists(etc("zorvexsvr.conf")), !removes) << input;
        EXPECT_EQ(read_file(vexmo("zorvexsvr")), server) << input;
    }
    // With nothing installed it still succeeds.
    r = run("-uninstall", "y\n");
    EXPECT_EQ(r.out + r.err, question + "ZORVEX has been uninstalled\n");
    EXPECT_EQ(host_state(), before) << "the real /etc or /usr/local changed";
}

}  // namespace
