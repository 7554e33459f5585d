// The file store: the engine's own users, in kvauth.txt and the add file
// behind the in-memory index (kvindex.h), kept in step with the other
// processes on the same directory (kvrefresh.h) under the database lock
// (flock.h). A request that writes holds the lock from its look at the
// others' changes to its own append (and rebuild), so that no rebuild of
// another process comes between. Used by the commands through userstore.h.
// One thread.
#pragma once

#include "engine/userstore.h"

const UserStore &file_store();

// The add-file size in bytes above which an addition rebuilds; 0 until the
// first addition consults it.
int auth_rebuild_size();
