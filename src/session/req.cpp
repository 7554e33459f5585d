#include "session/req.h"

#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <unordered_map>
#include <vector>

#include "core/emsg.h"
#include "core/ini.h"
#include "core/metrics.h"
#include "engine/kvcmd.h"
#include "net/chan.h"
#include "net/timer.h"
#include "pool/ex.h"
#include "session/brake.h"
#include "session/io.h"

const char *const kReqThrottled = "-ERR Too many failed logins, try again later";

namespace {
constexpr const char *kAddrWord = "from=";
constexpr const char *kRefusedEnd = " password wrong or not a valid user";
// A request with no final reply after this long is forgotten: its client is
// gone, or a process was replaced without a reply (the pool's own limit on
// a busy process is 200 s).
constexpr int64_t kStaleMs = 300000;
constexpr int kWordMax = 64;

bool log_requests;
bool count_requests;

// A request's result, as the request log and the metrics name it.
enum Result { kAccepted, kRefused, kError, kThrottled, kOk, kResults };
constexpr const char *kResultWords[kResults] = {"accepted", "refused", "error", "throttled", "ok"};

// Requests by command and result: row 0 for words outside the command set
// ("other"), so that no client can add a series.
constexpr int kCmdRows = 16;
uint64_t requests[kCmdRows][kResults];
MetricHistogram check_seconds;
uint64_t delayed_checks;

int cmd_row(const char *word) {
    for (int i = 0; i + 1 < kCmdRows && cmd_word(i); i++)
        if (strcmp(word, cmd_word(i)) == 0) return i + 1;
    return 0;
}

const MetricFamily requests_family{
    "requests", MetricType::kCounter,
    "Requests answered by the engine or the pool, by command and result.", [](MetricOut &o) {
        for (int row = 0; row < kCmdRows; row++) {
            const char *word = row ? cmd_word(row - 1) : "other";
            if (!word) break;
            for (int r = 0; r < kResults; r++) {
                // Results that a command cannot have stay out of the scrape.
                bool check = row && strcmp(word, "check") == 0;
                if ((r == kOk && check) ||
                    ((r == kAccepted || r == kRefused || r == kThrottled) && !check))
                    continue;
                std::string labels =
                    std::string("command=\"") + word + "\",result=\"" + kResultWords[r] + "\"";
                o.sample(labels.c_str(), static_cast<double>(requests[row][r]));
            }
        }
    }};
const MetricFamily check_seconds_family{
    "check_duration_seconds", MetricType::kHistogram,
    "Time from a check's arrival to its reply, held back by the brake or not.",
    [](MetricOut &o) { o.histogram("", check_seconds); }, "seconds"};
const MetricFamily delayed_family{
    "brake_delayed", MetricType::kCounter, "Checks the brake held back for their turn.",
    [](MetricOut &o) { o.sample("", static_cast<double>(delayed_checks)); }};

// What the request point knows of a request in flight.
struct Pending {
    int64_t start_ns = 0;
    int row = 0;  // of requests
    bool check = false;
    char cmd[kWordMax + 1] = "";
    char user[kWordMax + 1] = "";
    char addr[kWordMax + 1] = "";
};

struct Key {
    const Chan *c;
    int rid;
    bool operator==(const Key &) const = default;
};
struct KeyHash {
    size_t operator()(const Key &k) const {
        return std::hash<const void *>()(k.c) ^
               (static_cast<size_t>(k.rid) * 0x9e3779b97f4a7c15ULL);
    }
};
// A client may give several requests in flight the same identifier: each is
// a request of its own, ended by one of the final replies to that identifier.
using PendingMap = std::unordered_multimap<Key, Pending, KeyHash>;
PendingMap pending;
// Nodes of ended requests, kept for the next ones: the map allocates
// nothing per request once as many requests were in flight as now.
std::vector<PendingMap::node_type> spare;
constexpr size_t kSpareMax = 256;
bool sweep_armed;

Pending &pending_add(Key k) {
    if (spare.empty()) return pending.emplace(k, Pending{})->second;
    PendingMap::node_type nh = std::move(spare.back());
    spare.pop_back();
    nh.key() = k;
    return pending.insert(std::move(nh))->second;
}

void pending_drop(PendingMap::iterator it) {
    PendingMap::node_type nh = pending.extract(it);
    if (spare.size() < kSpareMax) spare.push_back(std::move(nh));
}

// A check the brake holds back until its turn.
struct Delayed {
    Chan *c;
    int rid;
    std::string line;
    ReqDispatch dispatch;
    std::string user;
    std::string addr;
};
// By a number of their own, which their timer carries: the list of them
// may be dropped (req_close) while their timers are pending.
std::unordered_map<uint64_t, Delayed> delayed;
uint64_t next_delayed;

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A word for a key=value log line: at most kWordMax printable characters
// other than '=' ("?" for the others), "-" when empty.
void log_word(char *dst, const char *src, size_t n) {
    size_t i = 0;
    for (; i < n && i < kWordMax && src[i]; i++) {
        unsigned char ch = static_cast<unsigned char>(src[i]);
        dst[i] = (ch > ' ' && ch < 127 && ch != '=') ? static_cast<char>(ch) : '?';
    }
    if (i == 0) dst[i++] = '-';
    dst[i] = 0;
}

// The end client's address of a check: the word after the password when it
// is "from=" and an address; empty otherwise.
void check_addr(const char *rest, char *out) {
    out[0] = 0;
    rest += strspn(rest, " ");
    if (strncmp(rest, kAddrWord, strlen(kAddrWord)) != 0) return;
    rest += strlen(kAddrWord);
    size_t n = strcspn(rest, " ");
    char buf[kWordMax + 1];
    if (n == 0 || n > 45) return;
    memcpy(buf, rest, n);
    buf[n] = 0;
    unsigned char probe[16];
    if (inet_pton(AF_INET, buf, probe) == 1 || inet_pton(AF_INET6, buf, probe) == 1)
        memcpy(out, buf, n + 1);
}

Pending describe(const char *line) {
    Pending p;
    p.start_ns = now_ns();
    const char *sp = strchr(line, ' ');
    CmdLine cl;
    cmd_split(sp ? sp + 1 : "", &cl);
    log_word(p.cmd, cl.cmd, strlen(cl.cmd));
    p.row = cmd_row(cl.cmd);
    p.check = strcmp(cl.cmd, "check") == 0;
    if (p.check || strcmp(cl.cmd, "lookup") == 0 || strcmp(cl.cmd, "set") == 0 ||
        strcmp(cl.cmd, "mod") == 0 || strcmp(cl.cmd, "del") == 0)
        log_word(p.user, cl.p1, strlen(cl.p1));
    else
        strcpy(p.user, "-");
    if (p.check) check_addr(cl.p3, p.addr);
    return p;
}

const char *peer_of(Chan *c) {
    if (c->peer[0]) return c->peer;
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    const char *got = nullptr;
    if (c->sk != -1 && getpeername(c->sk, reinterpret_cast<sockaddr *>(&sa), &len) == 0) {
        if (sa.ss_family == AF_INET)
            got = inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(&sa)->sin_addr, c->peer,
                            sizeof c->peer);
        else if (sa.ss_family == AF_INET6)
            got = inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(&sa)->sin6_addr, c->peer,
                            sizeof c->peer);
    }
    if (!got) strcpy(c->peer, "-");
    return c->peer;
}

// The time of a request log line, formatted once a second.
const char *utc_now() {
    static time_t last = -1;
    static char text[32];
    time_t now = time(nullptr);
    if (now != last) {
        tm t{};
        gmtime_r(&now, &t);
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
        last = now;
    }
    return text;
}

bool ends_request(const char *text) {
    for (const char *w : {"+OK", "-ERR", "+ERR", "-DEAD"})
        if (strncmp(text, w, strlen(w)) == 0) return true;
    return false;
}

Result result_of(const Pending &p, const char *text) {
    if (strcmp(text, kReqThrottled) == 0) return kThrottled;
    bool ok = strncmp(text, "+OK", 3) == 0;
    if (!p.check) return ok ? kOk : kError;
    if (ok) return kAccepted;
    size_t n = strlen(text), e = strlen(kRefusedEnd);
    if (strncmp(text, "-ERR", 4) == 0 && n >= e && strcmp(text + n - e, kRefusedEnd) == 0)
        return kRefused;
    return kError;
}

void log_request(Chan *c, const Pending &p, const char *result, int64_t ns) {
    char slot[12] = "-";
    int s = ex_reply_slot();
    if (s >= 0) snprintf(slot, sizeof slot, "%d", s);
    char line[400];
    snprintf(line, sizeof line,
             "request time=%s client=%s from=%s cmd=%s user=%s result=%s ms=%lld.%03lld slot=%s\n",
             utc_now(), peer_of(c), p.addr[0] ? p.addr : "-", p.cmd, p.user, result,
             static_cast<long long>(ns / 1000000), static_cast<long long>(ns / 1000 % 1000), slot);
    imsg_log(line);
}

// Forgets requests that never got a final reply, once a minute while any
// is in flight.
void sweep(void *) {
    int64_t old = now_ns() - kStaleMs * 1000000;
    std::erase_if(pending, [old](const auto &kv) { return kv.second.start_ns < old; });
    sweep_armed = !pending.empty();
    if (sweep_armed) timer_add(timer_now_ms() + 60000, sweep, nullptr);
}

void run(Chan *c, char *line, ReqDispatch dispatch) {
    // The request's own information lines give way to its one request line.
    if (log_requests) imsg_quiet(true);
    dispatch(c, line);
    imsg_quiet(false);
}

void fire(void *arg) {
    auto it = delayed.find(reinterpret_cast<uintptr_t>(arg));
    if (it == delayed.end()) return;
    Delayed &d = it->second;
    chan_hold(d.c, 0);
    brake_leave(d.user, d.addr);
    if (d.c->sk == -1) {
        if (auto p = pending.find(Key{d.c, d.rid}); p != pending.end()) pending_drop(p);
    } else {
        run(d.c, d.line.data(), d.dispatch);
    }
    delayed.erase(it);
}
}  // namespace

void req_configure() {
    log_requests = ini_true(INI_LOG_REQUESTS);
    count_requests = *ini_get(INI_METRICS_LISTEN) != 0;
    BrakeRules r;
    r.failures = atoi(ini_get(INI_BRAKE_FAILURES));
    if (int w = atoi(ini_get(INI_BRAKE_WINDOW)); w > 0) r.window_s = w;
    if (int d = atoi(ini_get(INI_BRAKE_MAX_DELAY)); d > 0) r.max_delay_s = d;
    if (long n = atol(ini_get(INI_BRAKE_ENTRIES)); n > 0) r.entries = static_cast<size_t>(n);
    brake_configure(r);
}

bool req_logging() {
    return log_requests;
}

void req_start(Chan *c, int rid, char *line, ReqDispatch dispatch) {
    // Only what the pool or the engine will answer begins a request.
    if (!strchr(line, ' ') || (!log_requests && !count_requests && !brake_on())) {
        run(c, line, dispatch);
        return;
    }
    Pending &p = pending_add(Key{c, rid});
    p = describe(line);
    if (!sweep_armed) {
        sweep_armed = true;
        timer_add(timer_now_ms() + 60000, sweep, nullptr);
    }
    if (!p.check || !brake_on()) {
        run(c, line, dispatch);
        return;
    }
    BrakeVerdict v = brake_admit(p.user, p.addr, timer_now_ms());
    if (v.call == BrakeCall::kNow) {
        run(c, line, dispatch);
    } else if (v.call == BrakeCall::kRefuse) {
        io_printf(c, "%d %s\r\n", rid, kReqThrottled);
        req_reply(c, rid, kReqThrottled);
    } else {
        delayed_checks++;
        uint64_t id = ++next_delayed;
        delayed.emplace(id, Delayed{c, rid, line, dispatch, p.user, p.addr});
        chan_hold(c, 1);
        timer_add(v.at, fire, reinterpret_cast<void *>(static_cast<uintptr_t>(id)));
    }
}

void req_reply(Chan *c, int rid, const char *text) {
    if (pending.empty() || !ends_request(text)) return;
    auto it = pending.find(Key{c, rid});
    if (it == pending.end()) return;
    const Pending &p = it->second;
    Result result = result_of(p, text);
    int64_t ns = now_ns() - p.start_ns;
    requests[p.row][result]++;
    if (p.check) check_seconds.observe(static_cast<double>(ns) / 1e9);
    // The brake's own lines are no request's information lines.
    bool was_quiet = imsg_quiet(false);
    if (p.check && (result == kAccepted || result == kRefused))
        brake_result(p.user, p.addr, result == kAccepted, timer_now_ms());
    if (log_requests) log_request(c, p, kResultWords[result], ns);
    pending_drop(it);
    imsg_quiet(was_quiet);
}

int req_pool_reply(Chan *c, const char *fmt, ...) {
    char bf[2000];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(bf, sizeof bf, fmt, ap);
    va_end(ap);
    if (n < 0) return 0;
    if (n >= static_cast<int>(sizeof bf)) {
        // Cut as io_printf cuts, so that the line keeps its CR LF.
        bf[sizeof bf - 3] = '\r';
        bf[sizeof bf - 2] = '\n';
    }
    int r = io_printf(c, "%s", bf);
    char *text = strchr(bf, ' ');
    if (text) {
        text++;
        text[strcspn(text, "\r\n")] = 0;
        req_reply(c, atoi(bf), text);
    }
    return r;
}

void req_close() {
    for (auto &[id, d] : delayed) chan_hold(d.c, 0);
    delayed.clear();
    pending.clear();
    spare.clear();
    sweep_armed = false;
}
