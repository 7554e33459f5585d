#include "engine/kvoffload.h"

#include <utility>

namespace {
OffloadFn offload;
}  // namespace

void kvoffload_bind(OffloadFn fn) {
    offload = fn;
}

bool kvoffload_bound() {
    return offload != nullptr;
}

bool kvoffload_submit(std::unique_ptr<WorkJob> &job) {
    return offload && offload(job);
}

HeldReply HeldReply::take() {
    HeldReply h;
    h.sink_ = buf_hold();
    return h;
}

HeldReply::~HeldReply() {
    if (sink_.to && sink_.release) sink_.release(sink_.to);
}

HeldReply::HeldReply(HeldReply &&o) noexcept : sink_(std::exchange(o.sink_, ReplySink{})) {}

HeldReply &HeldReply::operator=(HeldReply &&o) noexcept {
    if (this != &o) {
        HeldReply gone(std::move(*this));
        sink_ = std::exchange(o.sink_, ReplySink{});
    }
    return *this;
}
