#include "authproc/pipeframe.h"

#include <cstdlib>
#include <cstring>

#include "engine/kvcmd.h"

namespace {
bool finishes(const std::string &s) {
    return s.compare(0, 3, "+OK") == 0 || s.compare(0, 4, "-ERR") == 0;
}

void emit(FILE *out, const std::string &s, bool last) {
    if (!last && finishes(s)) fputs("+DATA ", out);
    fputs(s.c_str(), out);
    fputc('\n', out);
}

// A process that stops itself (a lock it cannot have) says why first.
void frame_flush(void *frame) {
    Frame &f = *static_cast<Frame *>(frame);
    if (f.holding) emit(f.out, f.held, true);
    f.holding = false;
    fflush(f.out);
}
}  // namespace

void frame_line(void *frame, char *text) {
    Frame &f = *static_cast<Frame *>(frame);
    if (f.holding) emit(f.out, f.held, false);
    f.held.assign(text, strcspn(text, "\r\n"));
    f.holding = true;
}

void frame_end(Frame *f) {
    if (f->holding && finishes(f->held)) {
        emit(f->out, f->held, true);
    } else {
        bool failed = f->holding && f->held.compare(0, 5, "+DATA") != 0;
        if (f->holding) emit(f->out, f->held, false);
        fputs(failed ? "-ERR\n" : "+OK\n", f->out);
    }
    f->holding = false;
    f->held.clear();
}

int frame_serve(FILE *in, FILE *out) {
    char *line = nullptr;
    size_t cap = 0;
    int served = 0;
    Frame frame;
    frame.out = out;
    const ReplySink sink{frame_line, frame_flush, &frame};
    while (getline(&line, &cap, in) >= 0) {
        line[strcspn(line, "\r\n")] = 0;
        engine_request(line, sink);
        frame_end(&frame);
        fflush(out);
        engine_after_reply();
        served++;
    }
    free(line);
    return served;
}
