#include "engine/kvprint.h"

// The engine's output routine: every reply text goes to the session's print
// callback, or, while none is bound, into a heap buffer.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// Where replies go: a request's sink, or a plain callback (tests, and
// callers that bind one text function).
struct Destination {
    ReplySink sink;
    void (*plain)(char *);
};
Destination kvauth_print;
// What was printed while nothing was bound.
struct Collected {
    char *text;
    size_t len;
};
Collected buffer;

void to_plain(void *, char *text) {
    kvauth_print.plain(text);
}
}  // namespace

int buf_print(const char *fmt, ...) {
    char bf[4000];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(bf, sizeof bf, fmt, ap);
    va_end(ap);
    if (kvauth_print.sink.print) {
        kvauth_print.sink.print(kvauth_print.sink.to, bf);
        return static_cast<int>(strlen(bf));
    }
    size_t old = buffer.len;
    size_t add = strlen(bf);
    char *grown = static_cast<char *>(realloc(buffer.text, old + add + 2));
    if (!grown) return static_cast<int>(old);  // nobody will read it: drop the text
    memcpy(grown + old, bf, add + 1);
    buffer.text = grown;
    buffer.len = old + add;
    return static_cast<int>(old);
}

int buf_clear() {
    free(buffer.text);
    buffer = Collected{};
    return 1;
}

void kvauth_setprint(void (*pr)(char *)) {
    kvauth_print.plain = pr;
    kvauth_print.sink = pr ? ReplySink{to_plain, nullptr, nullptr} : ReplySink{};
}

void kvauth_setsink(const ReplySink *s) {
    kvauth_print.sink = s ? *s : ReplySink{};
    kvauth_print.plain = nullptr;
}

SinkBinding::SinkBinding(const ReplySink &s) {
    buf_clear();
    kvauth_setsink(&s);
}

SinkBinding::~SinkBinding() {
    kvauth_setsink(nullptr);
    buf_clear();
}

ReplySink buf_hold() {
    const ReplySink &s = kvauth_print.sink;
    if (!s.hold || !s.release) return ReplySink{};
    ReplySink held = s;
    held.to = s.hold(s.to);
    held.hold = nullptr;
    return held;
}

void buf_flush() {
    if (kvauth_print.sink.flush) kvauth_print.sink.flush(kvauth_print.sink.to);
}

const char *kvdrop_path(const char *) {
    return "config";
}

void print_found(const char *user, const char *info) {
    buf_print("+OK %s %s 0 %.999s\n", user, kvdrop_path(user), info);
}

const char *buf_text() {
    return buffer.text ? buffer.text : "";
}
