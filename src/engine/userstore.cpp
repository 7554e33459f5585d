#include "engine/userstore.h"

#include "engine/filestore.h"
#include "engine/kvprint.h"

namespace {
const UserStore *bound;
int depth;
}  // namespace

void store_use(const UserStore *s) {
    bound = s;
}

const UserStore &store() {
    return bound ? *bound : file_store();
}

int store_enter(bool writes) {
    if (depth++ > 0) return 1;
    return store().begin(writes);
}

void store_leave(bool writes) {
    if (--depth == 0) store().end(writes);
}

void store_say_failure() {
    buf_print("%s\n", store().failure());
}

int store_find(const char *user, UserView *out) {
    int found = store().find(user, out);
    if (found == STORE_FAILED) store_say_failure();
    return found;
}
