// Reply framing for an authenticator process on the pool's pipes: every
// request ends with exactly one finishing line ("+OK" or "-ERR"), since the
// pool frees the process at the first one. Used by kvauth and pgauth, which
// both serve their input through frame_serve. Sits above the engine's request
// (engine_request in kvcmd.h), below both programs. One thread; the state of the request
// being answered travels in its reply sink.
#pragma once

#include <cstdio>
#include <string>

// One request's reply on its way out.
struct Frame {
    FILE *out = nullptr;
    // The line printed last; written once the next one (or the end) shows
    // whether it closes the request.
    std::string held;
    bool holding = false;
};

// One reply line (cut at its first line end); the print of a ReplySink whose
// destination is a Frame. A finishing line that turns out not to be the last
// goes out as "+DATA <line>", so that the rest is not taken for the next
// request's reply.
void frame_line(void *frame, char *text);
// Ends the request: writes the held last line, adding "+OK" (or "-ERR" after
// a failure line such as "-DEAD") when it does not finish the request.
void frame_end(Frame *f);

// Serves requests from in until end of input: each line, without its line
// end, runs as one engine request answered on out, which is flushed after
// it. Returns the number of requests served.
int frame_serve(FILE *in, FILE *out);
