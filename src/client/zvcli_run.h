// The zorvex client's command and batch modes: one command, or a pipelined
// window of requests from a descriptor, over one enciphered connection
// (client.h). Used by programs/zorvex.cpp and the tests. One thread.
#pragma once

#include <cstdio>

#include "client/zvcli.h"

// Runs the command mode (o.args) or the batch mode (lines from in_fd),
// printing replies on out and messages on err; returns the exit status.
int zvcli_run(ZvcliOptions o, int in_fd, FILE *out, FILE *err);
