// Reply framing for an authenticator process on the pool's pipes: every
// request ends with exactly one finishing line ("+OK" or "-ERR"), since the
// pool frees the process at the first one. Used by kvauth and pgauth.
// Sits above the engine's output routine (kvprint.h), below both programs'
// loops. One thread; keeps the state of the one request being answered.
#pragma once

#include <cstdio>

// Starts the reply of one request, written to out.
void frame_begin(FILE *out);
// One reply line (cut at its first line end); an engine print callback.
// A finishing line that turns out not to be the last goes out as
// "+DATA <line>", so that the rest is not taken for the next request's reply.
void frame_line(char *text);
// Ends the request: writes the held last line, adding "+OK" (or "-ERR" after
// a failure line such as "-DEAD") when it does not finish the request.
void frame_end();

// Serves requests from in until end of input: each line, without its line
// end, goes to request with out, which is flushed after it. Returns the
// number of requests served.
int frame_serve(FILE *in, FILE *out, void (*request)(char *line, FILE *out));
