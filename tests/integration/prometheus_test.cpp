// The metrics listener seen by the real Prometheus tools (Debian's prometheus
// package), in engine and pool mode: after a load with known outcomes,
// promtool's linter accepts a scrape in the 0.0.4 text format, and a
// Prometheus server started here (with the example alerting rules loaded)
// scrapes the server in OpenMetrics and answers the counts through its query
// API. Skipped when the package is missing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/http.h"
#include "support/server_fixture.h"

using S = std::string;

namespace {
constexpr const char *kPromtool = "/usr/bin/promtool";
constexpr const char *kPrometheus = "/usr/bin/prometheus";

// The value of the sample "key value" in a scrape, or -1 when absent.
double sample(const S &body, const S &key) {
    size_t at = body.find("\n" + key + " ");
    return at == S::npos ? -1 : atof(body.c_str() + at + key.size() + 2);
}

S url_escape(const S &s) {
    S out;
    for (unsigned char ch : s) {
        char b[4];
        snprintf(b, sizeof b, "%%%02X", ch);
        out += isalnum(ch) || ch == '_' ? S(1, static_cast<char>(ch)) : S(b);
    }
    return out;
}

// A Prometheus server on port in dir, stopped by its pid when dropped.
struct Prometheus {
    pid_t pid = -1;
    Prometheus(const S &dir, int port) {
        S web = "--web.listen-address=127.0.0.1:" + std::to_string(port);
        pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0 || !freopen("prometheus.log", "w", stderr)) _exit(127);
            execl(kPrometheus, kPrometheus, "--config.file=prometheus.yml",
                  "--storage.tsdb.path=data", web.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Prometheus() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        for (int i = 0; i < 100 && waitpid(pid, nullptr, WNOHANG) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }
    // The value of an instant query's only result ("" while there is none).
    static S query(int port, const S &expr) {
        HttpReply r = http_get(port, "/api/v1/query?query=" + url_escape(expr));
        size_t v = r.body.find("\"value\":[");
        size_t q = v == S::npos ? S::npos : r.body.find(",\"", v);
        return q == S::npos ? "" : r.body.substr(q + 2, r.body.find('"', q + 2) - q - 2);
    }
};
}  // namespace

TEST(Prometheus, ScrapedAndQueriedCountsMatchTheLoad) {
    if (access(kPromtool, X_OK) != 0 || access(kPrometheus, X_OK) != 0)
        GTEST_SKIP() << "no promtool or prometheus (Debian package prometheus)";
    for (bool pool : {false, true}) {
        SCOPED_TRACE(pool ? "pool" : "engine");
        TestServer s;
        const int mport = free_port();
        s.extra_conf = {"metrics_listen 127.0.0.1:" + std::to_string(mport)};
        // The pool's kvauth, with no configuration of its own, uses the
        // server's directory.
        if (pool) s.extra_conf.push_back("authent_process " + program_path("kvauth"));
        write_file((pool ? s.dir() : s.db_dir()) + "/kvauth.txt", "alice:*pw-a:\n");
        ASSERT_TRUE(s.start());
        ZvClient c;
        ASSERT_TRUE(s.connect(&c));
        // 3 accepted, 2 refused (a wrong password, no such user), 1 lookup.
        const char *load[][2] = {{"check alice pw-a", "+OK"},   {"check alice pw-a", "+OK"},
                                 {"check alice bad", "-ERR"},   {"check alice pw-a", "+OK"},
                                 {"check nobody pw-a", "-ERR"}, {"lookup alice", "+OK"}};
        int id = 1;
        for (auto &[cmd, want] : load) {
            std::vector<S> got = s.request(&c, id++, cmd);
            ASSERT_FALSE(got.empty()) << cmd;
            EXPECT_EQ(got.back().find(std::to_string(id - 1) + " " + want), 0U) << got.back();
        }

        HttpReply text = http_get(mport, "/metrics");
        ASSERT_EQ(text.status, 200) << text.body;
        // The counts themselves are the transcripts' business; this one is
        // what Prometheus must read back.
        const S req = "zorvexsvr_requests_total{command=";
        EXPECT_EQ(sample("\n" + text.body, req + "\"check\",result=\"accepted\"}"), 3);
        RunResult lint = run_program({kPromtool, "check", "metrics"}, text.body);
        EXPECT_EQ(lint.status, 0) << lint.out << lint.err;

        // Prometheus scrapes with OpenMetrics first: up is 1 only when it
        // parsed that form too.
        TempDir pd;
        write_file(pd.file("prometheus.yml"),
                   "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                   "rule_files: ['" ZORVEX_SOURCE_DIR
                   "/packaging/zorvexsvr.rules.yml']\n"
                   "scrape_configs:\n"
                   "  - job_name: zorvexsvr\n"
                   "    static_configs: [{targets: ['127.0.0.1:" +
                       std::to_string(mport) + "']}]\n");
        const int pport = free_port();
        Prometheus prom(pd.path(), pport);
        ASSERT_GT(prom.pid, 0);
        S got;
        for (int i = 0; i < 300 && got.empty(); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            got = Prometheus::query(pport, req + "\"check\",result=\"accepted\"}");
        }
        EXPECT_EQ(got, "3") << read_file(pd.file("prometheus.log"));
        EXPECT_EQ(Prometheus::query(pport, "up{job=\"zorvexsvr\"}"), "1");
        // What the example rules (loaded above: Prometheus refuses to start
        // on a bad file) read, by the names and labels they use.
        EXPECT_EQ(Prometheus::query(pport, "sum(" + req +
                                               "\"check\",result=~\"refused|throttled\"})"
                                               " / sum(" +
                                               req + "\"check\"})"),
                  "0.4");
        EXPECT_EQ(Prometheus::query(pport,
                                    "count({__name__=~\"zorvexsvr_(start_time_seconds|pool_"
                                    "(queue_length|resets_total|start_failures_total))\"})"),
                  pool ? "4" : "1");
    }
}
