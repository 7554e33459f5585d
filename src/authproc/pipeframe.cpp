#include "authproc/pipeframe.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {
FILE *reply_out;
// The line printed last; written once the next one (or the end) shows
// whether it closes the request.
std::string held;
bool holding;

bool finishes(const std::string &s) {
    return s.compare(0, 3, "+OK") == 0 || s.compare(0, 4, "-ERR") == 0;
}

void emit(const std::string &s, bool last) {
    if (!last && finishes(s)) fputs("+DATA ", reply_out);
    fputs(s.c_str(), reply_out);
    fputc('\n', reply_out);
}
}  // namespace

void frame_begin(FILE *out) {
    reply_out = out;
    held.clear();
    holding = false;
}

void frame_line(char *text) {
    if (holding) emit(held, false);
    held.assign(text, strcspn(text, "\r\n"));
    holding = true;
}

void frame_end() {
    if (holding && finishes(held)) {
        emit(held, true);
    } else {
        bool failed = holding && held.compare(0, 5, "+DATA") != 0;
        if (holding) emit(held, false);
        fputs(failed ? "-ERR\n" : "+OK\n", reply_out);
    }
    holding = false;
    held.clear();
}

int frame_serve(FILE *in, FILE *out, void (*request)(char *line, FILE *out)) {
    char *line = nullptr;
    size_t cap = 0;
    int served = 0;
    while (getline(&line, &cap, in) >= 0) {
        line[strcspn(line, "\r\n")] = 0;
        request(line, out);
        fflush(out);
        served++;
    }
    free(line);
    return served;
}
