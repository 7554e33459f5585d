// One engine request, from its command line to its last reply line: what the
// server's engine mode and the authenticator programs each do per request.
// Binds the caller's reply sink for the length of the request, and unbinds it
// however the request ends, so nothing printed later reaches a destination
// that may be gone. One thread; one request at a time.
#pragma once

#include "engine/kvprint.h"

// Runs one command line (modified in place) with its replies to sink.
// Always 1.
int engine_request(char *line, const ReplySink &sink);
