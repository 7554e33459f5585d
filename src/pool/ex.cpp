#include "pool/ex.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <poll.h>
#include <string>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

#include "core/emsg.h"
#include "core/ini.h"
#include "core/metrics.h"
#include "lib/lib.h"
#include "net/chan.h"
#include "net/tcplib.h"
#include "pool/lib_spawn.h"

namespace {
constexpr int kSlots = 20;  // table size; at most kMaxProcs are used
constexpr int kMaxProcs = 10;
constexpr int kBufSize = 10000;
constexpr int kLineMax = 9999;  // a longer reply line resets the slot
constexpr int kIdle = 1;
constexpr int kBusy = 2;
// Output that belongs to no request (after a finishing line, or from an idle
// process) is dropped. A process is replaced when it does so after a second
// reply, or writes more than this many such bytes after one reply (a flood).
constexpr int kStrayOffences = 2;
constexpr int kStrayMax = kBufSize;
constexpr const char *kStrayLog =
    "Discarded %d bytes that slot %d (pid %d) wrote outside a request\n";
constexpr const char *kStrayReset =
    "Slot %d (pid %d) keeps writing outside its requests, replacing it\n";
constexpr const char *kLongLog =
    "Slot %d (pid %d) has worked on one request for more than %d seconds, resetting it\n";

// One pool slot: its process, the two pipes to it, the reply bytes read but
// not yet relayed, and the request it serves. Its pipes and process go only
// through slot_close.
struct Slot {
    int in = -1;   // the process's standard input: requests
    int out = -1;  // its standard output: replies
    std::unique_ptr<char[]> bf;
    int nbf = 0;
    int pid = 0;
    int rid = 0;
    int state = 0;       // 0 not started, kIdle, kBusy
    time_t since = 0;    // when the request in flight was handed over
    int stray = 0;       // bytes dropped since the last request was handed over
    int offences = 0;    // replies after which the process wrote on
    bool unrun = false;  // its program could not be run
    // The connection of the request a busy slot serves. Cleared when the
    // slot goes idle: a released channel may be freed by the channel loop
    // after that.
    Chan *chan = nullptr;
};
Slot slots[kSlots];
int busy_limit = kExBusyLimit;

// Fast loop: requests that found every process busy, oldest first. The
// connection of each is held until its request is handed over and finished.
struct Waiting {
    Chan *c;
    std::string line;
};
std::deque<Waiting> waiting;
constexpr size_t kWaitMax = 10000;

uint64_t resets;
uint64_t failed_starts;
const MetricFamily processes_family{
    "pool_processes", MetricType::kGauge,
    "Authenticator processes: serving a request, idle, or not running (their start failed).",
    [](MetricOut &o) {
        int n[3] = {};
        for (int i = 0; i < ex_n(); i++)
            n[slots[i].state == kBusy                                          ? 0
              : slots[i].state == kIdle && slots[i].pid > 0 && !slots[i].unrun ? 1
                                                                               : 2]++;
        o.sample("state=\"busy\"", n[0]);
        o.sample("state=\"idle\"", n[1]);
        o.sample("state=\"down\"", n[2]);
    }};
const MetricFamily queue_family{
    "pool_queue_length", MetricType::kGauge, "Requests waiting for an idle process.",
    [](MetricOut &o) { o.sample("", static_cast<double>(waiting.size())); }};
const MetricFamily resets_family{
    "pool_resets", MetricType::kCounter,
    "Processes replaced: failed, busy past the limit, or writing outside their requests.",
    [](MetricOut &o) { o.sample("", static_cast<double>(resets)); }};
const MetricFamily failed_starts_family{
    "pool_start_failures", MetricType::kCounter,
    "Authenticator processes that could not be started.",
    [](MetricOut &o) { o.sample("", static_cast<double>(failed_starts)); }};

// Fast loop: killed processes not reaped yet, each with the descriptor that
// reports its end (-1: none, looked at in every cycle). The loop never waits
// for a kill.
struct Dying {
    int pid;
    int fd;
};
std::vector<Dying> dying;

void reap_dying(int) {
    std::erase_if(dying, [](const Dying &d) {
        if (!spawn_reaped(d.pid)) return false;
        if (d.fd >= 0) {
            tcp_unwatch_fd(d.fd);
            close(d.fd);
        }
        return true;
    });
}

// atoi without the undefined overflow: values beyond int are clamped.
int to_int(const char *s) {
    long v = strtol(s, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// Lets the channel loop free c once no busy slot serves it any more and no
// request of it waits.
void release(Chan *c) {
    if (!c || c->queued > 0) return;
    for (int i = 0; i < kSlots; i++)
        if (slots[i].state == kBusy && slots[i].chan == c) return;
    chan_release(c);
}

void finish(int p) {
    Chan *c = slots[p].chan;
    slots[p].state = kIdle;
    slots[p].chan = nullptr;
    release(c);
}

int find_idle(int n) {
    for (int i = 0; i < n; i++)
        if (slots[i].state == kIdle) return i;
    return -1;
}

bool finishes(const char *line) {
    return strncmp(line, "-ERR", 4) == 0 || strncmp(line, "+OK", 3) == 0;
}

// How a reply reaches a connection: bound by the server (the session's io_printf).
int (*reply)(Chan *c, const char *fmt, ...);

// The slot whose reply is being relayed (ex_reply_slot); -1 between them.
int replying = -1;

void relay(Chan *c, int id, char *line, int p) {
    replying = p;
    if (c && reply) reply(c, "%d %s\r\n", id, line);
    replying = -1;
}

// Output that belongs to no request: dropped, logged, and held against the
// process, which is replaced once it makes a habit of it.
void discard(int p, int n) {
    Slot &s = slots[p];
    if (n <= 0) return;
    if (s.stray == 0) s.offences++;
    s.stray += n;
    imsg(kStrayLog, n, p, s.pid);
    if (s.offences >= kStrayOffences || s.stray > kStrayMax) {
        imsg(kStrayReset, p, s.pid);
        ex_reset(p);
    }
}

// Reads and drops what an idle process has written, so that it can't pass
// for the reply to the next request.
void drain(int p) {
    char scratch[4096];
    Slot &s = slots[p];
    for (int pid = s.pid; s.state == kIdle && s.pid == pid && spawn_nready(s.out) > 0;) {
        int n = spawn_read(s.out, scratch, sizeof scratch);
        if (n <= 0) break;
        discard(p, n);
    }
}

void hand_over(Chan *c, char *cmdline, int p) {
    // Before the slot takes c: draining may replace its process.
    drain(p);
    slots[p].chan = c;
    c->canclose = 0;
    ex_do_cmd(c, cmdline, p);
    // An unsent line or a failed write leaves the slot idle: the connection
    // must not stay held for it.
    if (slots[p].state != kBusy) {
        slots[p].chan = nullptr;
        release(c);
    }
}

// The step both loops share: the request goes to the lowest idle process of
// the n; false when every one is busy.
bool to_idle(Chan *c, char *cmdline, int n) {
    int p = find_idle(n);
    if (p < 0) return false;
    hand_over(c, cmdline, p);
    return true;
}

// Hands waiting requests, oldest first, to idle processes.
void feed() {
    static bool feeding;  // a failed hand-over resets a slot, which may come back here
    if (feeding) return;
    feeding = true;
    int n = ex_n();
    for (int p; !waiting.empty() && (p = find_idle(n)) >= 0;) {
        Waiting w = std::move(waiting.front());
        waiting.pop_front();
        w.c->queued--;
        // A client gone while its request waited needs no process.
        if (w.c->sk == -1)
            release(w.c);
        else
            hand_over(w.c, w.line.data(), p);
    }
    feeding = false;
}

// Fast loop: a request goes to an idle process unless older ones wait; else
// it waits, up to the bound, beyond which it is refused at once.
int queue_cmd(Chan *c, char *cmdline) {
    if (!strchr(cmdline, ' ')) return 1;
    if (waiting.empty()) {
        if (to_idle(c, cmdline, ex_n())) return 1;
        imsg("All slaves busy, waiting for one, should only wait .1 of second \n");
    }
    if (waiting.size() >= kWaitMax) {
        if (reply) reply(c, "%d -ERR Server busy\r\n", to_int(cmdline));
        return 1;
    }
    waiting.push_back(Waiting{c, cmdline});
    c->queued++;
    c->canclose = 0;
    feed();
    return 1;
}

// Fast loop: a process's output pipe is readable or hung up. Pipes are
// watched while their process is idle too, so that stray output is dropped
// as it comes.
void pipe_ready(int fd) {
    int n = ex_n();
    int p = 0;
    while (p < n && !(slots[p].out == fd && slots[p].state != 0)) p++;
    if (p == n) {
        tcp_unwatch_fd(fd);
        return;
    }
    int navail = spawn_nready(fd);
    pollfd pf{fd, POLLIN, 0};
    if (navail > 0) {
        if (slots[p].state == kBusy)
            ex_read(p, navail);
        else
            drain(p);
    } else if (poll(&pf, 1, 0) == 1 && (pf.revents & (POLLHUP | POLLERR))) {
        // Nothing to read: a hang-up, unless the report was stale. An idle
        // process's end is found by the next request's write, as in the
        // classic loop; until then its pipe leaves the wait set.
        if (slots[p].state == kBusy)
            ex_reset(p);
        else
            tcp_unwatch_fd(fd);
    }
    feed();
}
// Classic loop: a request that finds every process busy waits, polling,
// until one is idle; after the busy limit of that, every process is reset.
int wait_cmd(Chan *c, char *cmdline) {
    int n = ex_n();
    time_t start = time(nullptr);
    for (;;) {
        if (to_idle(c, cmdline, n)) return 1;
        lib_msleep(10);
        ex_poll();
        if (find_idle(n) >= 0) continue;
        imsg("All slaves busy, waiting for one, should only wait .1 of second \n");
        lib_msleep(100);
        if (time(nullptr) - start > busy_limit) {
            imsg("Waited 200 seconds, and still all are busy, trying to kill/reset them\n");
            for (int i = 0; i < n; i++) ex_reset(i);
        }
    }
}

// Classic loop: replies are collected by asking each pipe what it holds.
void poll_pipes(int n) {
    for (int p = 0; p < n; p++) {
        if (slots[p].state != kBusy) {
            drain(p);
            continue;
        }
        int navail = spawn_nready(slots[p].out);
        if (navail > 0) ex_read(p, navail);
    }
}

// Fast loop: replies arrive through the wait. A process is reset for its own
// request only: timing it from the oldest waiting one would reset every
// process in every cycle while a backlog lasts.
void poll_long(int n) {
    time_t now = time(nullptr);
    for (int p = 0; p < n; p++) {
        if (slots[p].state != kBusy || now - slots[p].since <= busy_limit) continue;
        imsg(kLongLog, p, slots[p].pid, busy_limit);
        ex_reset(p);
    }
    reap_dying(-1);
    feed();
}

// Classic loop: spawn_kill's patient wait. Fast loop: the kill is reaped
// later, through the wait set, so that the loop goes on serving.
void kill_waiting(int pid) {
    spawn_kill(pid);
}
void kill_later(int pid) {
    if (pid <= 0) return;
    int fd = spawn_kill_nowait(pid);
    dying.push_back(Dying{pid, fd});
    if (fd >= 0) tcp_watch_fd(fd, reap_dying);
}

// Only the fast loop waits on the pipes.
void watch_none(int) {}
void watch_pipe(int fd) {
    tcp_watch_fd(fd, pipe_ready);
}

// The two loops' own steps, picked once by ex_use_loop.
struct PoolSteps {
    int (*cmd)(Chan *c, char *cmdline);  // a request, whether or not a process is idle
    void (*poll)(int n);                 // the idle work's look at the n slots
    void (*kill)(int pid);               // a replaced process's end
    void (*watch)(int fd);               // a process's output pipe, in the wait set
};
constexpr PoolSteps kClassicPool{wait_cmd, poll_pipes, kill_waiting, watch_none};
constexpr PoolSteps kFastPool{queue_cmd, poll_long, kill_later, watch_pipe};
const PoolSteps *loop = &kClassicPool;

// The one way a slot's pipes and process go: out of the wait set, both pipes
// closed (the request pipe too: a replacement must not live on it), and the
// process, when end is set, killed and reaped as the loop does it.
void slot_close(Slot &s, bool end) {
    tcp_unwatch_fd(s.out);
    spawn_close(s.out, s.pid);
    if (s.in >= 0) close(s.in);
    s.in = s.out = -1;
    if (end) loop->kill(s.pid);
}
}  // namespace

void ex_use_loop(bool fast) {
    loop = fast ? &kFastPool : &kClassicPool;
}

int ex_n() {
    int n = to_int(ini_get(INI_AUTHENT_NUMBER));
    if (n <= 0) return 1;
    return n > kMaxProcs ? kMaxProcs : n;
}

int ex_init(int busy_seconds) {
    busy_limit = busy_seconds;
    int want = to_int(ini_get(INI_AUTHENT_NUMBER));
    if (want > kMaxProcs)
        imsg("authent_number %d is more than %d, starting %d\n", want, kMaxProcs, kMaxProcs);
    int n = ex_n();
    for (int i = 0; i < n; i++) slots[i].state = ex_spawn(i) ? kIdle : 0;
    return 1;
}

int ex_spawn(int i) {
    char msg[1000] = "";
    const char *prog = ini_get(INI_AUTHENT_PROCESS);
    int r = lib_spawn_noenv(prog, &slots[i].in, &slots[i].out, msg);
    imsg("Spawning h=%d (%s)\n", r, prog);
    if (r <= 0) {
        emsg("Could not spawn %s\n", msg);
        failed_starts++;
        slots[i].unrun = true;
        slots[i].in = slots[i].out = -1;
        slots[i].pid = 0;
        return 0;
    }
    // A program that can't be run is started again at the next failure of
    // its slot, as any process that ends; it counts as a failed start.
    slots[i].unrun = spawn_exec_failed();
    if (slots[i].unrun) failed_starts++;
    slots[i].pid = r;
    slots[i].nbf = 0;
    slots[i].stray = slots[i].offences = 0;
    loop->watch(slots[i].out);
    return 1;
}

int ex_cmd(Chan *c, char *cmdline) {
    return loop->cmd(c, cmdline);
}

int ex_do_cmd(Chan *c, char *cmdline, int p) {
    const char *sp = strchr(cmdline, ' ');
    if (!sp) return 0;
    slots[p].rid = to_int(cmdline);
    slots[p].chan = c;
    // The session passes at most 990 characters, so the text fits with its LF.
    char text[1002];
    ncpy(text, sp + 1, 999);
    size_t len = strcspn(text, "\r\n");
    text[len++] = '\n';
    text[len] = 0;
    text[len - 1] = 0;
    dmsg("Sending command [%d] %s\n", p, log_secret_words(text, 2));
    text[len - 1] = '\n';
    if (spawn_write(slots[p].in, text, static_cast<int>(len)) < 1) {
        emsg("spawn_write failed\n");
        ex_reset(p);
        return 1;
    }
    slots[p].state = kBusy;
    slots[p].since = time(nullptr);
    slots[p].stray = 0;
    loop->watch(slots[p].out);  // again, after an idle hang-up
    return 1;
}

int ex_poll() {
    loop->poll(ex_n());
    return 1;
}

int ex_read(int p, int) {
    if (!slots[p].bf) slots[p].bf = std::make_unique<char[]>(kBufSize);
    char *bf = slots[p].bf.get();
    int got = spawn_read(slots[p].out, bf + slots[p].nbf, kLineMax - slots[p].nbf);
    int len = slots[p].nbf + (got > 0 ? got : 0);
    bf[len] = 0;
    Chan *c = slots[p].chan;
    int id = slots[p].rid;
    int at = 0;
    while (slots[p].state == kBusy) {
        char *nl = static_cast<char *>(memchr(bf + at, '\n', static_cast<size_t>(len - at)));
        if (!nl) break;
        *nl = 0;
        char *line = bf + at;
        at = static_cast<int>(nl - bf) + 1;
        if (finishes(line)) finish(p);
        relay(c, id, line, p);
    }
    if (slots[p].state != kBusy) {
        // What follows the finishing line belongs to no request: relayed, it
        // would answer the next one.
        slots[p].nbf = 0;
        discard(p, len - at);
        return 1;
    }
    if (at == 0 && len == kLineMax) {
        // No line end in a full buffer. Relaying the piece would let it
        // finish the request and leave the line's tail in the pipe for the
        // next request to receive as its reply: fail the request and replace
        // the process, whose pipe goes with everything still in it.
        slots[p].nbf = 0;
        ex_reset(p);
        return 1;
    }
    slots[p].nbf = len - at;
    memmove(bf, bf + at, static_cast<size_t>(slots[p].nbf));
    bf[slots[p].nbf] = 0;
    return 1;
}

int ex_reset(int p) {
    resets++;
    if (slots[p].state == kBusy && slots[p].chan && reply) {
        replying = p;
        reply(slots[p].chan, "%d -ERR External process failed\r\n", slots[p].rid);
        replying = -1;
    }
    Chan *c = slots[p].chan;
    slots[p].state = kIdle;
    slots[p].chan = nullptr;
    release(c);
    slot_close(slots[p], true);
    imsg("Now try and recreate that child process\n");
    ex_spawn(p);
    return 1;
}

int ex_reply_slot() {
    return replying;
}

int ex_state(int p) {
    return (p >= 0 && p < kSlots) ? slots[p].state : 0;
}

int ex_pid(int p) {
    return (p >= 0 && p < kSlots) ? slots[p].pid : 0;
}

void ex_set_reply(int (*fn)(CHAN *c, const char *fmt, ...)) {
    reply = fn;
}

void ex_close() {
    for (Waiting &w : waiting) w.c->queued--;
    waiting.clear();
    // Killed already: their end is a matter of moments.
    for (const Dying &d : dying) {
        if (d.fd >= 0) {
            tcp_unwatch_fd(d.fd);
            close(d.fd);
        }
        waitpid(d.pid, nullptr, 0);
    }
    dying.clear();
    for (Slot &s : slots) {
        slot_close(s, false);
        s = Slot{};
    }
    busy_limit = kExBusyLimit;
}
