// The wait: one cycle of the server's wait over all channels (poll, or epoll
// in the fast loop), the read and write callbacks of ready channels, then the
// channel loop's idle step. Called by the server's main loop. A callback may
// close any channel; the records stay in the list until chan_idle frees them.
// A failed wait ends in the shutdown that the server binds with
// tcp_set_fatal (the process ends even when none is bound).
#pragma once

struct CHAN;

// One pass of the channel loop over the whole channel list.
void chan_run();
// One wait cycle: 10 ms pause, wait up to 100 ms, callbacks, idle work. In
// the fast loop: a wait for readiness alone (at most 100 ms), callbacks of the
// ready sockets and watched descriptors, idle work.
int tcp_waitchans(CHAN *cstart);
// Binds the shutdown that a failed wait calls (the server's main_exit).
void tcp_set_fatal(void (*fn)());
