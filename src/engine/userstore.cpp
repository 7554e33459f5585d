#include "engine/userstore.h"

#include "engine/filestore.h"

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
