// One engine request, from its command line to its last reply line: what the
// server's engine mode and the authenticator programs (kvauth, pgauth) each
// do per request, in one call. Binds the caller's reply sink, runs the
// command (do_command: the store's steps before and after it, the file
// store's lock for a command that writes), and unbinds the sink however the
// request ends, so nothing printed later reaches a destination that may be
// gone. One thread; one request at a time.
#pragma once

#include "engine/kvprint.h"

// Runs one command line (modified in place) with its replies to sink.
// Always 1.
int engine_request(char *line, const ReplySink &sink);
