#include "engine/kvprint.h"

// The engine's output routine: every reply text goes to the session's print
// callback, or, while none is bound, into a heap buffer.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
void (*kvauth_print)(char *);
void (*kvauth_flush)();
const ReplySink *sink;
char *buffer;
size_t buffer_len;
}  // namespace

int buf_print(const char *fmt, ...) {
    char bf[4000];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(bf, sizeof bf, fmt, ap);
    va_end(ap);
    if (sink && sink->print) {
        sink->print(sink->to, bf);
        return static_cast<int>(strlen(bf));
    }
    if (kvauth_print) {
        kvauth_print(bf);
        return static_cast<int>(strlen(bf));
    }
    size_t old = buffer_len;
    size_t add = strlen(bf);
    char *grown = static_cast<char *>(realloc(buffer, old + add + 2));
    if (!grown) return static_cast<int>(old);  // nobody will read it: drop the text
    memcpy(grown + old, bf, add + 1);
    buffer = grown;
    buffer_len = old + add;
    return static_cast<int>(old);
}

int buf_clear() {
    free(buffer);
    buffer = nullptr;
    buffer_len = 0;
    return 1;
}

void kvauth_setprint(void (*pr)(char *)) {
    kvauth_print = pr;
    sink = nullptr;
}

void kvauth_setsink(const ReplySink *s) {
    sink = s;
    kvauth_print = nullptr;
}

void buf_flush() {
    if (sink && sink->flush) sink->flush(sink->to);
    if (kvauth_flush) kvauth_flush();
}

void kvauth_setflush(void (*fl)()) {
    kvauth_flush = fl;
}

const char *kvdrop_path(const char *) {
    return "config";
}

void print_found(const char *user, const char *info) {
    buf_print("+OK %s %s 0 %s\n", user, kvdrop_path(user), info);
}

const char *buf_text() {
    return buffer ? buffer : "";
}
