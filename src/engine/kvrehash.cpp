#include "engine/kvrehash.h"

#include <openssl/crypto.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "core/emsg.h"
#include "core/ini.h"
#include "engine/kvoffload.h"
#include "engine/kvrules.h"
#include "engine/passhash.h"
#include "engine/userstore.h"

namespace {
constexpr const char *kRehashed = "Rehashed password for user(%s)\n";
constexpr const char *kNotRehashed = "Could not rehash password for user(%s): %s\n";

bool enabled;

// A change to make: the user, the field the check verified and the password.
struct Rehash {
    std::string name;
    std::string old;
    std::string pass;
    ~Rehash() { OPENSSL_cleanse(pass.data(), pass.size()); }
};
std::unique_ptr<Rehash> noted;
// Users whose rehash is under way: a second check meanwhile does not start
// another.
std::set<std::string> busy;

// Stores field for the user unless the field changed since the check: a
// set or another process's change wins over the rehash.
void store_field(const Rehash &r, bool made, const std::string &field, const std::string &why) {
    busy.erase(r.name);
    if (!made) {
        emsg(kNotRehashed, r.name.c_str(), why.c_str());
        return;
    }
    if (!store_enter(true)) {
        store_leave(true);
        emsg(kNotRehashed, r.name.c_str(), store().failure());
        return;
    }
    UserView u;
    if (store().find(r.name.c_str(), &u) == STORE_FOUND && r.old == u.pass) {
        std::string info = u.info;
        if (const char *refused = line_refusal(r.name.c_str(), field.c_str(), info.c_str()))
            emsg(kNotRehashed, r.name.c_str(), refused);
        else if (!store().put(r.name.c_str(), field.c_str(), info.c_str(), nullptr))
            emsg(kNotRehashed, r.name.c_str(), store().failure());
        else
            emsg(kRehashed, r.name.c_str());
    }
    store_leave(true);
}

struct RehashJob final : WorkJob {
    std::unique_ptr<Rehash> r;
    bool made = false;
    std::string field;
    std::string why;
    void compute() override { made = pass_hash_make(r->pass.c_str(), &field, &why); }
    void finish() override { store_field(*r, made, field, why); }
};
}  // namespace

bool rehash_configure(std::string *why) {
    rehash_enable(strcmp(ini_get(INI_REHASH), "yes") == 0);
    return pass_hash_configure(why);
}

void rehash_enable(bool on) {
    enabled = on;
}

void rehash_note(const char *name, const char *stored, const char *pass) {
    // A clear field is the site's own choice, not an old scheme.
    if (!enabled || stored[0] == '*' || !pass_hash_outdated(stored) || busy.count(name)) return;
    noted.reset(new Rehash{name, stored, pass});
}

void rehash_run() {
    if (!noted) return;
    busy.insert(noted->name);
    if (pass_make_costly() && kvoffload_bound()) {
        auto job = std::make_unique<RehashJob>();
        job->r = std::move(noted);
        std::unique_ptr<WorkJob> w = std::move(job);
        if (kvoffload_submit(w)) return;
        noted = std::move(static_cast<RehashJob *>(w.get())->r);
    }
    std::unique_ptr<Rehash> r = std::move(noted);
    std::string field;
    std::string why;
    bool made = pass_hash_make(r->pass.c_str(), &field, &why);
    store_field(*r, made, field, why);
}

int rehash_busy() {
    return static_cast<int>(busy.size());
}
