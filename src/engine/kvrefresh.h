// Agreement between several engine processes on one engine directory (the
// server in engine mode, kvauth programs, imports): before each request that
// reads or writes the index, the index picks up what the others changed.
// Used by the file store (filestore.h) before and after each request, the
// rebuild and the server's start-up (auth_init). One thread.
#pragma once

// Builds the index at start-up in engine mode and sets up the directory watch.
int auth_init();

// Builds the index when it is not built yet or when kvauth.txt was replaced
// (by another process's rebuild) since it was last seen, then replays the add
// file if it changed; both under the database lock. When neither file changed
// it takes no lock and costs one read of a directory watch (two stat calls
// where no watch can be had). Always 1.
int kvrefresh_before();
// Records the identity of kvauth.txt and of the add file as the ones the
// index agrees with. For use under the lock after this process's own change.
// Always 1.
int kvrefresh_note();
// Records the identity of kvauth.txt only: the index was just loaded from it
// or written to it.
void kvrefresh_note_txt();
// Sets up the directory watch now (else at the first look), so that the
// server holds its descriptor from start-up on.
void kvrefresh_watch();
// Closes the watch and forgets what was seen (the file store's close).
void kvrefresh_close();
