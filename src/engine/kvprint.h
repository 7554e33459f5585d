// The engine's output routine: every reply text of the engine leaves through
// buf_print, to the reply sink of the request (bound by engine_request in
// kvcmd.h: a connection, or an authenticator's pipe framing) or a plain
// callback (kvauth_setprint), or into a collected text when none is bound.
// Its only state is that binding and the collected text. Lies below every
// other engine module. One thread; the callbacks run inside buf_print.
#pragma once

// Where the replies of one request go: print receives each reply text (and
// may cut it); flush, when set, hands what was printed so far to the client
// at once. Both get to, the request's own destination (a connection and its
// request identifier, a pipe).
struct ReplySink {
    void (*print)(void *to, char *text) = nullptr;
    void (*flush)(void *to) = nullptr;
    void *to = nullptr;
    // Set by a destination that can take replies after its request returned
    // (a connection of the fast loop): hold gives a destination that stays
    // valid, for print and flush, until release is called with it.
    void *(*hold)(void *to) = nullptr;
    void (*release)(void *held) = nullptr;
};

// Binds sink for the life of the object (as kvauth_setsink), the collected
// text cleared at both ends: one request, or the rest of one.
class SinkBinding {
   public:
    explicit SinkBinding(const ReplySink &s);
    ~SinkBinding();
    SinkBinding(const SinkBinding &) = delete;
    SinkBinding &operator=(const SinkBinding &) = delete;
};

// The bound sink with its destination held (hold cleared in the copy), or
// an empty sink when the bound one cannot be held. The caller releases it.
ReplySink buf_hold();

// Every engine reply leaves through buf_print: one call, one reply text.
int buf_print(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int buf_clear();
void kvauth_setprint(void (*pr)(char *));
// Binds sink as the print callback and the flush (null: none; texts are
// collected). The sink must outlive the binding.
void kvauth_setsink(const ReplySink *sink);

// The drop path of a user's reply line ("+OK user path 0 info"): always
// "config".
const char *kvdrop_path(const char *user);
// The reply of a found user, "+OK user config 0 info", as check, lookup and
// pgauth give it.
void print_found(const char *user, const char *info);

// What buf_print collected since the last buf_clear; "" when nothing.
const char *buf_text();

// Hands the replies printed so far to the client at once; the engine calls it
// before it stops the process, so that the reply saying why is not lost with
// it, through the bound sink's flush (none: nothing to do).
void buf_flush();
