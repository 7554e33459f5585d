#include "support/server_fixture.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/emsg.h"
#include "core/ini.h"
#include "lib/lib.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {
// What each program's main binds first, for the tests that run the layers here.
struct BoundLayers : ::testing::Environment {
    void SetUp() override { ini_bind(), log_bind(); }
};
[[maybe_unused]] auto *const bound = ::testing::AddGlobalTestEnvironment(new BoundLayers);
}  // namespace

TempDir::TempDir() {
    char tmpl[] = "/tmp/zvtest.XXXXXX";
    char *p = mkdtemp(tmpl);
    if (!p) abort();
    path_ = p;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

// Below the kernel's range for the local ports of outgoing connections, so
// that no client connection of this or a parallel test takes the port before
// the server binds it; random, so that parallel tests rarely pick the same;
// never one this process gave out before.
int free_port() {
    static std::set<int> given;
    static std::mt19937 pick(static_cast<unsigned>(getpid()) ^
                             static_cast<unsigned>(time(nullptr)));
    for (;;) {
        int port = 20000 + static_cast<int>(pick() % 12000);
        if (!given.insert(port).second) continue;
        UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) return port;
    }
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

std::string program_path(const std::string &name) {
    return std::string(ZORVEX_BUILD_DIR) + "/" + name;
}

RunResult run_program(const std::vector<std::string> &argv, const std::string &input,
                      const std::string &cwd, int timeout_s, const RunFds *fds) {
    RunResult res;
    int in[2], out[2], err[2], p3[2] = {-1, -1}, p4[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return res;
    if (fds && (pipe2(p3, O_CLOEXEC) || pipe2(p4, O_CLOEXEC))) return res;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (fds) {
            // Copies above 4 first, so that neither dup2 meets its own target.
            int d3 = fcntl(p3[0], F_DUPFD_CLOEXEC, 10), d4 = fcntl(p4[1], F_DUPFD_CLOEXEC, 10);
            dup2(d3, 3);
            dup2(d4, 4);
        }
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char *> args, env;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        if (fds && fds->env) {
            for (const auto &e : *fds->env) env.push_back(const_cast<char *>(e.c_str()));
            env.push_back(nullptr);
            execve(args[0], args.data(), env.data());
        } else {
            execv(args[0], args.data());
        }
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    // Input is small in tests; write it all, then close so the child sees EOF.
    auto feed = [](int fd, const std::string &data) {
        size_t off = 0;
        while (off < data.size()) {
            ssize_t n = write(fd, data.data() + off, data.size() - off);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        close(fd);
    };
    if (fds) {
        close(p3[0]);
        close(p4[1]);
        feed(p3[1], fds->fd3);
    }
    feed(in[1], input);
    auto deadline = Clock::now() + std::chrono::seconds(timeout_s);
    pollfd p[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {fds ? p4[0] : -1, POLLIN, 0}};
    std::string *dst[3] = {&res.out, &res.err, &res.fd4};
    int open_fds = fds ? 3 : 2;
    while (open_fds > 0 && Clock::now() < deadline) {
        if (poll(p, 3, 200) <= 0) continue;
        for (int i = 0; i < 3; i++) {
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(p[i].fd);
                p[i].fd = -1;
                open_fds--;
            } else {
                dst[i]->append(buf, static_cast<size_t>(n));
            }
        }
    }
    for (auto &x : p)
        if (x.fd >= 0) close(x.fd);
    int st = 0;
    while (waitpid(pid, &st, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return res;
}

namespace {
// Under valgrind the daemon runs some tens of times slower: its start, its
// stop (with the leak check) and the log waits get that much longer.
const char *valgrind_dir() {
    const char *d = getenv("ZORVEX_VALGRIND");
    return d && *d ? d : nullptr;
}

int slow_factor() {
    return valgrind_dir() ? 20 : 1;
}

// valgrind memcheck over the daemon: it follows the detaching fork on its
// own and the exec of kvauth children (not of shells and tools), one log
// per process.
std::vector<std::string> valgrind_launcher() {
    std::string dir = valgrind_dir();
    return {"valgrind",
            "--leak-check=full",
            "--show-leak-kinds=definite,indirect,possible",
            "--errors-for-leak-kinds=definite,indirect",
            "--trace-children=yes",
            "--trace-children-skip=/bin/*,/usr/bin/*,*/sh,*.sh",
            "--log-file=" + dir + "/vg.%p.log"};
}
}  // namespace

int collect_replies(std::vector<ZvClient> &conns,
                    const std::vector<std::vector<std::string>> &expect, int want, int timeout_s) {
    auto deadline = Clock::now() + std::chrono::seconds(timeout_s);
    int got = 0, right = 0;
    std::string line;
    while (got < want && Clock::now() < deadline) {
        std::vector<pollfd> pf;
        for (auto &c : conns) pf.push_back(pollfd{c.fd.get(), POLLIN, 0});
        if (poll(pf.data(), pf.size(), 1000) <= 0) continue;
        for (size_t c = 0; c < conns.size(); c++) {
            if (!(pf[c].revents & (POLLIN | POLLHUP))) continue;
            if (cli_pump(&conns[c]) < 0) return -1;
            while (cli_take_line(&conns[c], &line)) {
                int id = -1;
                std::string_view text;
                if (!cli_split_reply(line, &id, &text) || id < 0 ||
                    static_cast<size_t>(id) >= expect[c].size())
                    continue;
                got++;
                if (text == expect[c][static_cast<size_t>(id)]) right++;
            }
        }
    }
    return right;
}

TestServer::TestServer() : port_(free_port()) {
    fs::create_directories(db_dir());
}

TestServer::~TestServer() {
    if (alive()) stop();
}

std::string TestServer::secret() const {
    std::string s = read_file(file("xlate.dat"));
    s = s.substr(0, s.find_first_of("\r\n"));
    return s;
}

bool TestServer::start(bool write_conf) {
    if (write_conf) {
        std::string conf = "workarea " + dir() + "\nlogdir " + dir() + "\nport " +
                           std::to_string(port_) + "\nsecret_file " + file("xlate.dat") +
                           "\nkvauth_path " + db_dir() + "\ndebug " +
                           (debug ? "true\n" : "false\n");
        // The same tests run in each serving loop: ZORVEX_TEST_LOOP=fast.
        if (const char *loop = getenv("ZORVEX_TEST_LOOP"); loop && *loop)
            conf += std::string("loop ") + loop + "\n";
        for (const auto &l : extra_conf) conf += l + "\n";
        write_file(conf_path(), conf);
    }
    unlink(file("zorvexsvr.pid").c_str());
    std::vector<std::string> argv = launcher;
    if (argv.empty() && valgrind_dir()) argv = valgrind_launcher();
    argv.insert(argv.end(), {program_path("zorvexsvr"), "-conf", conf_path()});
    argv.insert(argv.end(), args.begin(), args.end());
    if (argv[0][0] != '/') argv.insert(argv.begin(), {"/usr/bin/env"});
    RunResult r = run_program(argv, "", dir(), 30 * slow_factor());
    startup_out_ = r.out;
    if (r.status != 0) return false;
    auto deadline = Clock::now() + std::chrono::seconds(10 * slow_factor());
    while (Clock::now() < deadline) {
        std::string p = read_file(file("zorvexsvr.pid"));
        if (!p.empty() && p.back() == '\n') {
            pid_ = atoi(p.c_str());
            ZvClient c;
            if (cli_connect(&c, host.c_str(), port_, 1000)) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool TestServer::alive() const {
    if (pid_ <= 0) return false;
    if (kill(pid_, 0) != 0) return false;
    // A zombie left to a non-reaping parent counts as gone.
    std::string st = read_file("/proc/" + std::to_string(pid_) + "/stat");
    size_t rp = st.rfind(')');
    return !(rp != std::string::npos && rp + 2 < st.size() && st[rp + 2] == 'Z');
}

bool TestServer::stop(int timeout_ms) {
    if (!alive()) return false;
    write_file(file("zorvexsvr.exit"), "");
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms * slow_factor());
    while (Clock::now() < deadline) {
        if (!alive()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill_hard();
    return false;
}

void TestServer::kill_hard() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (alive() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool TestServer::connect(ZvClient *c, bool encrypt, bool check) {
    if (!cli_connect(c, host.c_str(), port_, 2000)) return false;
    if (!encrypt) return true;
    // The server creates the secret file at the first handshake; until then
    // a client can't know it, so the first handshake of a test uses a plain
    // connection to make the server create it.
    if (secret().empty()) {
        ZvClient probe;
        if (!cli_connect(&probe, host.c_str(), port_, 2000)) return false;
        cli_send(&probe, 0, "encrypt x");
        std::string line;
        cli_read_line(&probe, &line, 5000);
    }
    return cli_encrypt(c, secret(), check, 5000) == 1;
}

std::vector<std::string> TestServer::request(ZvClient *c, int id, const std::string &cmd,
                                             int timeout_ms) {
    std::vector<std::string> lines;
    if (!cli_send(c, id, cmd)) return lines;
    std::string line;
    while (cli_read_line(c, &line, timeout_ms) == 1) {
        lines.push_back(line);
        int rid = 0;
        std::string_view text;
        cli_split_reply(line, &rid, &text);
        if (rid == id && (text.substr(0, 3) == "+OK" || text.substr(0, 4) == "-ERR")) break;
    }
    return lines;
}

bool TestServer::wait_log(const std::string &text, int timeout_ms) const {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms * slow_factor());
    do {
        if (log().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < deadline);
    return false;
}

std::vector<HashVector> hash_vectors() {
    std::vector<HashVector> out;
    for (std::string file : {"crypt.txt", "argon2.txt", "ldap.txt", "bounds.txt"}) {
        std::istringstream in(read_file(std::string(ZORVEX_HASH_DIR) + "/" + file));
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '#') continue;
            size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
            std::string field = line.substr(t1 + 1, t2 - t1 - 1);
            out.push_back({file, line.substr(0, t1), field,
                           file != "bounds.txt" && !field.starts_with("$argon2d$")});
        }
    }
    return out;
}

VectorUsers vector_users() {
    VectorUsers v;
    int n = 0;
    for (const HashVector &h : hash_vectors()) {
        if (h.pass.empty() || h.pass.find(' ') != std::string::npos) continue;
        std::string u = "u" + std::to_string(n++);
        std::string no = "-ERR " + u + " password wrong or not a valid user\n";
        v.txt += u + ":" + h.field + ":\n";
        v.input += "check " + u + " " + h.pass + "\ncheck " + u + " x" + h.pass + "\n";
        v.want += (h.verifies ? "+OK " + u + " config 0 \n" : no) + no;
    }
    return v;
}
