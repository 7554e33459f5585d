// The engine's hand-off of costly hashes: a request whose password hash
// costs (passhash.h) is continued by a job whose compute step runs on a
// worker thread and whose finish step, back on the loop thread, prints the
// reply to the request's held destination. The server binds the hand-off
// at start-up in its fast loop; unbound (the classic loop, kvauth, pgauth,
// the tests) every hash runs in line, through the same code. Used by check,
// set and rehash (kvcmd, kvset, kvrehash). One thread: the loop's.
#pragma once

#include <memory>

#include "core/workers.h"
#include "engine/kvprint.h"

// Takes the job and true, or false with the job untouched (the engine then
// hashes in line).
using OffloadFn = bool (*)(std::unique_ptr<WorkJob> &job);
void kvoffload_bind(OffloadFn fn);
// Hands job off when a hand-off is bound; false (job untouched) otherwise.
bool kvoffload_submit(std::unique_ptr<WorkJob> &job);
bool kvoffload_bound();

// The destination of a request that goes on after its engine_request
// returned: held from the bound sink, released when the object goes.
class HeldReply {
   public:
    HeldReply() = default;
    // Holds the bound sink's destination; empty when it cannot be held.
    static HeldReply take();
    ~HeldReply();
    HeldReply(HeldReply &&o) noexcept;
    HeldReply &operator=(HeldReply &&o) noexcept;
    HeldReply(const HeldReply &) = delete;
    HeldReply &operator=(const HeldReply &) = delete;
    explicit operator bool() const { return sink_.to != nullptr; }
    const ReplySink &sink() const { return sink_; }

   private:
    ReplySink sink_;
};
