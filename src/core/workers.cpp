#include "core/workers.h"

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {
constexpr int kMaxThreads = 64;

std::mutex mu;
std::condition_variable wake;
std::deque<std::unique_ptr<WorkJob>> todo;  // under mu
std::deque<std::unique_ptr<WorkJob>> done;  // under mu
bool stopping;                              // under mu
std::vector<std::thread> threads;
int efd = -1;
int pending;  // loop thread only

// Below the loop thread's priority: a client waiting for a cheap reply
// comes before a hash, which waits a little longer at most.
constexpr int kWorkerNice = 10;

void work() {
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kWorkerNice);
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
        wake.wait(lk, [] { return stopping || !todo.empty(); });
        if (stopping) return;
        std::unique_ptr<WorkJob> job = std::move(todo.front());
        todo.pop_front();
        lk.unlock();
        job->compute();
        lk.lock();
        done.push_back(std::move(job));
        uint64_t one = 1;
        // The counter only says "look": a full counter is as good as a write.
        ssize_t n = write(efd, &one, sizeof one);
        (void)n;
    }
}
}  // namespace

bool workers_start(int n) {
    if (efd != -1 || n < 1 || n > kMaxThreads) return false;
    efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (efd == -1) return false;
    stopping = false;
    try {
        for (int i = 0; i < n; i++) threads.emplace_back(work);
    } catch (const std::system_error &) {
        workers_stop();
        return false;
    }
    return true;
}

bool workers_submit(std::unique_ptr<WorkJob> &job) {
    if (efd == -1) return false;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (todo.size() >= static_cast<size_t>(kWorkQueueMax)) return false;
        todo.push_back(std::move(job));
    }
    pending++;
    wake.notify_one();
    return true;
}

int workers_fd() {
    return efd;
}

void workers_drain() {
    if (efd == -1) return;
    uint64_t count;
    ssize_t n = read(efd, &count, sizeof count);
    (void)n;
    std::deque<std::unique_ptr<WorkJob>> ready;
    {
        std::lock_guard<std::mutex> lk(mu);
        ready.swap(done);
    }
    // A finish step may submit again (a field changed meanwhile): it goes to
    // the queue, not into this batch.
    for (auto &job : ready) {
        pending--;
        job->finish();
    }
}

int workers_pending() {
    return pending;
}

void workers_stop() {
    {
        std::lock_guard<std::mutex> lk(mu);
        stopping = true;
    }
    wake.notify_all();
    for (std::thread &t : threads) t.join();
    threads.clear();
    todo.clear();
    done.clear();
    pending = 0;
    if (efd != -1) close(efd);
    efd = -1;
}
