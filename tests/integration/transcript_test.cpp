// Protocol conversations as data: each file under tests/transcripts/ is run
// against a real daemon. A case is a line of a transcript, not a function.
//
// Lines of a transcript (blank lines and lines starting with '#' are skipped):
//   conf LINE          configuration line, added before the server starts
//                      ("conf debug true" turns on debug logging)
//   file PATH          a starting file under the server's directory; its
//   | TEXT             lines follow, one "| " line each ("|" alone: empty)
//   start / restart    start the server; stop it through its exit file and
//                      start it again (connections are dropped)
//   crash              SIGKILL, then start again
//   conn N [clear|check]  use connection N from here on; it is opened at
//                      first use, enciphered unless clear, with the check
//                      value when check
//   > TEXT             send TEXT and a line feed
//   >raw TEXT          send TEXT as it is, after \r \n \t \\ \xNN escapes
//   < TEXT             the next line received is exactly TEXT
//   <prefix TEXT       the next line received starts with TEXT
//   <any               the next lines received are the "| " lines that
//                      follow, in any order (replies that may overtake)
//   closed             the server closes the connection (no line comes)
//   close              the client drops the connection
//   quiet              no line arrives within 300 ms
//   expect PATH        the file holds exactly the "| " lines that follow
//   absent PATH        no such file
//   log TEXT           the log comes to hold TEXT
//   nolog TEXT         the log does not hold TEXT
//   logcount N TEXT    once the log holds TEXT and 300 ms more have passed,
//                      it holds TEXT exactly N times
//   count N PATH TEXT  the file holds TEXT exactly N times
//   mode PATH OCTAL    the file's permission bits
//   metric TEXT        a scrape of the metrics listener comes to hold the
//                      line TEXT
//   nometric TEXT      a scrape holds no line starting with TEXT
//   http STATUS TEXT   TEXT, after escapes, sent to the metrics listener
//                      gets a response with that status that holds each of
//                      the "| " lines that follow
//   stall N            N connections to the metrics listener that send half
//                      a request and wait
//   stalled N          N of them are still open (at most 15 s until the
//                      others are closed by the server)
// In every TEXT, {dir} is the server's directory, {secret} its secret line,
// {check} that secret's check value, {check-1} one less, {programs} the
// directory of the built programs, {mport} the metrics listener's port, and
// {loop} the serving loop, and {9k} 9000 letters.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/lib.h"
#include "lib/xlate.h"
#include "support/http.h"
#include "support/server_fixture.h"

namespace {
namespace fs = std::filesystem;

struct Step {
    int line;
    std::string verb, arg;
    std::vector<std::string> body;  // the "| " lines that follow
};

std::vector<Step> parse(const std::string &path) {
    std::vector<Step> steps;
    std::ifstream in(path);
    int n = 0;
    for (std::string l; std::getline(in, l);) {
        n++;
        if (l.empty() || l[0] == '#') continue;
        if (l[0] == '|') {
            if (!steps.empty()) steps.back().body.push_back(l.size() > 2 ? l.substr(2) : "");
            continue;
        }
        size_t sp = l.find(' ');
        steps.push_back({n, l.substr(0, sp), sp == std::string::npos ? "" : l.substr(sp + 1), {}});
    }
    return steps;
}

std::string unescape(const std::string &s) {
    const std::string from = "rnt\\", to = "\r\n\t\\";
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
        } else if (s[i + 1] == 'x' && i + 3 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            size_t k = from.find(s[++i]);
            out += k == std::string::npos ? s[i] : to[k];
        }
    }
    return out;
}

class Runner {
   public:
    explicit Runner(std::string name) : name_(std::move(name)) {}

    void run(const std::vector<Step> &steps) {
        for (const Step &st : steps) {
            SCOPED_TRACE(name_ + ":" + std::to_string(st.line) + ": " + st.verb + " " + st.arg);
            step(st);
            if (::testing::Test::HasFatalFailure()) return;
        }
        // Every reply must have been expected.
        for (auto &[n, c] : conns_) {
            std::string extra;
            EXPECT_NE(cli_read_line(&c, &extra, 200), 1)
                << name_ << ": unexpected line on " << n << ": " << extra;
        }
    }

   private:
    std::string subst(std::string t) const {
        const int check = xlate_check_value(server_.secret().c_str());
        const std::pair<std::string, std::string> vars[] = {
            {"{dir}", server_.dir()},
            {"{secret}", server_.secret()},
            {"{programs}", program_path("")},
            {"{check}", std::to_string(check)},
            {"{check-1}", std::to_string(check - 1)},
            {"{mport}", std::to_string(mport_)},
            {"{loop}", getenv("ZORVEX_TEST_LOOP") ? getenv("ZORVEX_TEST_LOOP") : "classic"},
            {"{9k}", std::string(9000, 'x')}};
        for (const auto &[k, v] : vars)
            for (size_t at; (at = t.find(k)) != std::string::npos;) t.replace(at, k.size(), v);
        return t;
    }

    // The "| " lines of a step, each with its line end.
    std::string body(const Step &st) const {
        std::string t;
        for (const auto &l : st.body) t += subst(l) + "\n";
        return t;
    }

    void ensure_started() {
        if (started_) return;
        started_ = true;
        ASSERT_TRUE(server_.start()) << "server did not start";
    }

    ZvClient &conn() {
        auto it = conns_.find(cur_);
        if (it != conns_.end()) return it->second;
        ZvClient &c = conns_[cur_];
        EXPECT_TRUE(server_.connect(&c, mode_ != "clear", mode_ == "check"))
            << "connection " << cur_ << " failed";
        return c;
    }

    std::string next_line() {
        std::string line;
        int r = cli_read_line(&conn(), &line, 5000);
        return r == 1 ? line : r == 0 ? "(time-out)" : "(closed)";
    }

    void step(const Step &st) {
        const std::string arg = subst(st.arg);
        if (st.verb == "conf" && arg == "debug true") {
            server_.debug = true;
        } else if (st.verb == "conf") {
            server_.extra_conf.push_back(arg);
        } else if (st.verb == "file") {
            fs::create_directories(fs::path(server_.file(arg)).parent_path());
            write_file(server_.file(arg), body(st));
            if (arg.size() > 3 && arg.substr(arg.size() - 3) == ".sh")
                chmod(server_.file(arg).c_str(), 0755);
        } else if (st.verb == "start") {
            ensure_started();
        } else if (st.verb == "restart" || st.verb == "crash") {
            ensure_started();
            conns_.clear();
            if (st.verb == "crash")
                server_.kill_hard();
            else
                ASSERT_TRUE(server_.stop()) << "server did not stop through its exit file";
            ASSERT_TRUE(server_.start(false)) << "server did not start again";
        } else if (st.verb == "conn") {
            ensure_started();
            size_t sp = arg.find(' ');
            cur_ = std::stoi(arg.substr(0, sp));
            mode_ = sp == std::string::npos ? "" : arg.substr(sp + 1);
        } else if (st.verb == ">" || st.verb == ">raw") {
            ensure_started();
            std::string bytes = st.verb == ">" ? arg + "\n" : unescape(arg);
            EXPECT_TRUE(cli_send_raw(&conn(), bytes)) << "send failed";
        } else if (st.verb == "<") {
            EXPECT_EQ(next_line(), arg);
        } else if (st.verb == "<any") {
            std::multiset<std::string> want, got;
            for (const auto &l : st.body) want.insert(subst(l));
            for (size_t i = 0; i < st.body.size(); i++) got.insert(next_line());
            EXPECT_EQ(got, want);
        } else if (st.verb == "<prefix") {
            std::string got = next_line();
            EXPECT_EQ(got.substr(0, arg.size()), arg) << "whole line: " << got;
        } else if (st.verb == "closed") {
            EXPECT_EQ(next_line(), "(closed)");
        } else if (st.verb == "close") {
            conns_.erase(cur_);
        } else if (st.verb == "quiet") {
            std::string line;
            EXPECT_EQ(cli_read_line(&conn(), &line, 300), 0) << "got: " << line;
        } else if (st.verb == "expect") {
            EXPECT_EQ(read_file(server_.file(arg)), body(st));
        } else if (st.verb == "absent") {
            struct stat sb;
            EXPECT_NE(stat(server_.file(arg).c_str(), &sb), 0) << arg << " exists";
        } else if (st.verb == "log") {
            EXPECT_TRUE(server_.wait_log(arg)) << "log lacks: " << arg << "\nlog:\n"
                                               << server_.log();
        } else if (st.verb == "nolog") {
            EXPECT_EQ(server_.log().find(arg), std::string::npos) << "log holds: " << arg;
        } else if (st.verb == "logcount" || st.verb == "count") {
            ensure_started();
            size_t sp = arg.find(' ');
            std::string path, text = arg.substr(sp + 1);
            if (st.verb == "count") {
                path = text.substr(0, text.find(' '));
                text = text.substr(path.size() + 1);
            } else {
                EXPECT_TRUE(server_.wait_log(text)) << "log lacks: " << text;
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
            std::string log = path.empty() ? server_.log() : read_file(server_.file(path));
            int n = 0;
            for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
                n++;
            EXPECT_EQ(n, std::stoi(arg.substr(0, sp))) << text;
        } else if (st.verb == "mode") {
            struct stat sb;
            size_t sp = arg.find(' ');
            ASSERT_EQ(stat(server_.file(arg.substr(0, sp)).c_str(), &sb), 0) << arg;
            EXPECT_EQ(sb.st_mode & 0777, std::stoul(arg.substr(sp + 1), nullptr, 8)) << arg;
        } else if (st.verb == "metric" || st.verb == "nometric") {
            ensure_started();
            // A line is matched whole; an absent one by its start.
            bool want = st.verb == "metric";
            const std::string line = "\n" + arg + (want ? "\n" : "");
            std::string text;
            for (int i = 0; i < (want ? 30 : 1); i++) {
                if (i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
                text = "\n" + http_get(mport_, "/metrics").body;
                if (text.find(line) != std::string::npos) break;
            }
            EXPECT_EQ(text.find(line) != std::string::npos, want) << arg << "\nscrape:" << text;
        } else if (st.verb == "http") {
            ensure_started();
            size_t sp = arg.find(' ');
            std::string raw = http_exchange(mport_, unescape(arg.substr(sp + 1)));
            EXPECT_EQ(http_parse(raw).status, std::stoi(arg.substr(0, sp))) << raw;
            for (const auto &l : st.body)
                EXPECT_NE(raw.find(unescape(subst(l))), std::string::npos) << l << "\n" << raw;
        } else if (st.verb == "stall") {
            ensure_started();
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sa.sin_port = htons(static_cast<uint16_t>(mport_));
            for (int i = 0; i < std::stoi(arg); i++) {
                UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
                ASSERT_EQ(connect(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
                ASSERT_EQ(write(fd.get(), "GET /metr", 9), 9);
                stalled_.push_back(std::move(fd));
            }
        } else if (st.verb == "stalled") {
            // Open: no end of file or reset to be read now.
            auto open_now = [this] {
                int n = 0;
                for (const UniqueFd &fd : stalled_) {
                    pollfd p{fd.get(), POLLIN, 0};
                    n += poll(&p, 1, 0) == 0;
                }
                return n;
            };
            int n = open_now();
            for (int i = 0; i < 150 && n > std::stoi(arg); i++) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                n = open_now();
            }
            EXPECT_EQ(n, std::stoi(arg));
        } else {
            ADD_FAILURE() << "unknown verb " << st.verb;
        }
    }

    std::string name_;
    TestServer server_;
    int mport_ = free_port();
    std::vector<UniqueFd> stalled_;
    bool started_ = false;
    std::map<int, ZvClient> conns_;
    int cur_ = 1;
    std::string mode_;
};

std::vector<std::string> transcripts() {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(ZORVEX_TRANSCRIPT_DIR))
        if (e.path().extension() == ".t") names.push_back(e.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Transcript : public ::testing::TestWithParam<std::string> {};

TEST_P(Transcript, Runs) {
    std::string path = std::string(ZORVEX_TRANSCRIPT_DIR) + "/" + GetParam() + ".t";
    Runner(GetParam() + ".t").run(parse(path));
}

INSTANTIATE_TEST_SUITE_P(, Transcript, ::testing::ValuesIn(transcripts()),
                         [](const auto &p) { return p.param; });
}  // namespace
