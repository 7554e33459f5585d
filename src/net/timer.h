// One-shot timers of the loop: a function to run at a point of the monotonic
// clock. The wait of either loop ends no later than the first timer due
// (timer_wait_ms), and the end of each wait cycle runs those due
// (timer_run). Used by the session to answer delayed requests without
// sleeping. Owns the pending timers. One thread; a timer may add timers.
#pragma once

#include <cstddef>
#include <cstdint>

using TimerFn = void (*)(void *arg);

// Milliseconds of CLOCK_MONOTONIC.
int64_t timer_now_ms();
// Runs fn(arg) in the first cycle that ends at or after at_ms. Timers due at
// the same moment run in the order they were added.
void timer_add(int64_t at_ms, TimerFn fn, void *arg);
// How long a wait starting at now may last: max_ms, or less when a timer is
// due sooner (0 when one is due already).
int timer_wait_ms(int max_ms, int64_t now);
// Runs every timer due at now; the number run.
int timer_run(int64_t now);
// Timers pending.
size_t timer_count();
// Forgets every pending timer without running it (shutdown, tests).
void timer_clear();
