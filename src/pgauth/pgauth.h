// pgauth: an authenticator program for the server's pool that keeps the
// users in PostgreSQL, so that the servers of several hosts share them.
// Used by programs/pgauth.cpp; open for the tests.
// One thread, one request at a time.
#pragma once

// The whole program: options, settings, then requests on standard input
// until its end (or the import or export asked for), over the store the
// program bound (pgstore.h). Returns the exit status.
int pgauth_main(int argc, char **argv);
