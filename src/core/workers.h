// Worker threads for the computations that would stall the one loop thread
// (password hashes). Owns the threads, a bounded job queue and a queue of
// finished jobs with an eventfd that says when it is not empty. Only a job's
// compute step runs on a worker; its finish step runs on the loop thread,
// from workers_drain, which the server binds to that descriptor. Started by
// the server in the fast loop only; everything else calls nothing here.
// Assumes: workers_start, workers_submit, workers_drain and workers_stop are
// called from the loop thread; compute touches only the job's own data and
// functions that are safe on any thread.
#pragma once

#include <memory>

struct WorkJob {
    virtual ~WorkJob() = default;
    // On a worker thread: the costly part, writing only the job's own data.
    virtual void compute() = 0;
    // On the loop thread, after compute: uses the result.
    virtual void finish() = 0;
};

// The jobs that may wait for a worker at once; past it workers_submit says no.
constexpr int kWorkQueueMax = 1024;

// Starts n threads (1..64); false when they could not be made.
bool workers_start(int n);
// Takes the job (job is null after) and true; false and job untouched when
// no worker runs or the queue is full.
bool workers_submit(std::unique_ptr<WorkJob> &job);
// The descriptor that is readable while finished jobs wait; -1 when stopped.
int workers_fd();
// Runs the finish step of every job finished so far; the descriptor's callback.
void workers_drain();
// Jobs that were submitted and whose finish has not run yet.
int workers_pending();
// Stops and joins the threads; jobs not finished are dropped unfinished.
void workers_stop();
