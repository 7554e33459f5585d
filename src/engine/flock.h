// The database lock: one exclusive fcntl record lock on kvauth.lck3, nestable
// within the process. Used by the index build and by every writer of the engine.
// Process-wide lock depth; one thread. Stops the process when the lock
// cannot be had, after a reply through buf_flush.
#pragma once

// Takes the lock or deepens it; waits while another process holds it. Stops
// the process (abort) when the lock file or the lock cannot be had. Always 1.
int auth_lock();
// Undoes one auth_lock; the outermost releases the lock. Always 1.
int auth_unlock();
// BSD flock operations (1 shared, 2 exclusive, 4 do not wait, 8 unlock) on
// fcntl record locks over the whole file: 0, or -1 with errno set.
int myflock(int fd, int operation);

// Nesting depth of the lock in this process.
int auth_lock_depth();
// Forgets the lock state without unlocking (a forked child holds no lock); for tests.
void flock_reset_for_test();
