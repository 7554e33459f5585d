// Agreement between several engine processes on one engine directory (the
// kvauth program): before each request the index picks up what the others
// changed. Used by the kvauth program's request loop only; the server in
// engine mode keeps the engine's own replay rules.
#pragma once

// Under the database lock: builds the index when it is not built yet or when
// kvauth.txt was replaced (by another process's rebuild) since it was last
// seen, then replays the add file if it changed. Always 1.
int kvsync_before();
// Records the identity of kvauth.txt as the one the index agrees with. For
// use under the lock after this process's own change, which may have rebuilt
// the file from the index. Always 1.
int kvsync_note();
// Forgets what was seen; for tests.
void kvsync_reset_for_test();
