// File helpers of the engine's writers: whole writes and directory syncs, so
// that a change or a new database file survives the process being killed.
// Used by the set/mod/del and rebuild modules.
// No state; one thread.
#pragma once

#include <cstddef>

// Writes all len bytes, retrying short writes and EINTR. 1, or 0 with errno set.
int kv_write_all(int fd, const char *buf, size_t len);
// Syncs the directory that holds path, so a new name or a rename in it lasts.
void kv_sync_dir(const char *path);
