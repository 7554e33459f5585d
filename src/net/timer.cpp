#include "net/timer.h"

#include <ctime>
#include <queue>
#include <vector>

namespace {
struct Timer {
    int64_t at;
    uint64_t seq;  // keeps timers of one moment in the order they came
    TimerFn fn;
    void *arg;
};
struct Later {
    bool operator()(const Timer &a, const Timer &b) const {
        return a.at != b.at ? a.at > b.at : a.seq > b.seq;
    }
};
std::priority_queue<Timer, std::vector<Timer>, Later> timers;
uint64_t next_seq;
}  // namespace

int64_t timer_now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void timer_add(int64_t at_ms, TimerFn fn, void *arg) {
    timers.push(Timer{at_ms, next_seq++, fn, arg});
}

int timer_wait_ms(int max_ms, int64_t now) {
    if (timers.empty()) return max_ms;
    int64_t left = timers.top().at - now;
    if (left <= 0) return 0;
    return left < max_ms ? static_cast<int>(left) : max_ms;
}

int timer_run(int64_t now) {
    int n = 0;
    // Popped before it runs: the function may add timers, due ones included,
    // which then run in this same call.
    while (!timers.empty() && timers.top().at <= now) {
        Timer t = timers.top();
        timers.pop();
        t.fn(t.arg);
        n++;
    }
    return n;
}

size_t timer_count() {
    return timers.size();
}

void timer_clear() {
    timers = {};
}
