// Batch rate of the zorvex client: 100,000 "check" commands piped into
// build/zorvex against a real zorvexsvr in engine mode holding 100,000 users
// with salted-SHA passwords, for a few window sizes. Items are checks.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

#include "engine/ld_sha.h"

#include "support/server_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr int kUsers = 100000;

struct Env {
    std::string dir;   // temporary directory of the server and the inputs
    std::string bin;   // the build directory holding zorvex and zorvexsvr
    std::string conf;  // the server's configuration file
    int pid = -1;
};
Env env;

// Runs a program with stdin and stdout redirected to files; its exit status.
int run(const std::vector<std::string> &argv, const std::string &in, const std::string &out) {
    pid_t pid = fork();
    if (pid == 0) {
        int i = open(in.c_str(), O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (i < 0 || o < 0) _exit(126);
        dup2(i, 0);
        dup2(o, 1);
        std::vector<char *> a;
        for (const auto &x : argv) a.push_back(const_cast<char *>(x.c_str()));
        a.push_back(nullptr);
        execv(a[0], a.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

bool setup() {
    char tmpl[] = "/tmp/zvbench.XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    env.dir = tmpl;
    env.bin = fs::read_symlink("/proc/self/exe").parent_path().parent_path().string();
    fs::create_directories(env.dir + "/db");
    int port = free_port();
    env.conf = env.dir + "/zorvexsvr.conf";
    std::ofstream(env.conf) << "workarea " << env.dir << "\nlogdir " << env.dir << "\nport " << port
                            << "\nsecret_file " << env.dir << "/xlate.dat\nkvauth_path " << env.dir
                            << "/db\n";
    std::ofstream db(env.dir + "/db/kvauth.txt");
    std::ofstream checks(env.dir + "/checks.txt");
    char digest[200];
    for (int i = 0; i < kUsers; i++) {
        std::string u = "user" + std::to_string(i), p = "pass" + std::to_string(i);
        if (!create_ssha_base64_digest(p.c_str(), digest, sizeof digest)) return false;
        db << u << ":{ssha}" << digest << ":quota=\"" << i << "\"\n";
        checks << "check " << u << " " << p << "\n";
    }
    db.close();
    checks.close();
    if (run({env.bin + "/zorvexsvr", "-conf", env.conf}, "/dev/null", env.dir + "/start.out"))
        return false;
    for (int tries = 0; tries < 500; tries++) {
        std::ifstream pf(env.dir + "/zorvexsvr.pid");
        if (pf >> env.pid) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (env.pid <= 0) return false;
    // The first handshake makes the server write its secret file.
    return run({env.bin + "/zorvex", "-conf", env.conf, "version"}, "/dev/null",
               env.dir + "/version.out") == 0;
}

void teardown() {
    if (env.pid > 0) {
        std::ofstream(env.dir + "/zorvexsvr.exit") << "";
        for (int i = 0; i < 500 && kill(env.pid, 0) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (kill(env.pid, 0) == 0) kill(env.pid, SIGKILL);
    }
    std::error_code ec;
    if (!env.dir.empty()) fs::remove_all(env.dir, ec);
}

void BM_Batch100kChecks(benchmark::State &state) {
    std::string out = env.dir + "/replies.txt";
    for (auto _ : state) {
        int st = run({env.bin + "/zorvex", "-conf", env.conf, "-window",
                      std::to_string(state.range(0)), "-"},
                     env.dir + "/checks.txt", out);
        if (st != 0) {
            state.SkipWithError("zorvex failed");
            return;
        }
    }
    std::ifstream f(out);
    std::string line;
    int ok = 0;
    while (std::getline(f, line)) ok += line.starts_with("+OK user") ? 1 : 0;
    if (ok != kUsers) state.SkipWithError("not every check was accepted");
    state.SetItemsProcessed(state.iterations() * kUsers);
}
BENCHMARK(BM_Batch100kChecks)
    ->Arg(32)
    ->Arg(128)
    ->Arg(256)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (!setup()) {
        fprintf(stderr, "zorvex_batch_bench: cannot set up the server in %s\n", env.dir.c_str());
        teardown();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    teardown();
    benchmark::Shutdown();
    return 0;
}
