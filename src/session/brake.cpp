#include "session/brake.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <list>
#include <string>
#include <unordered_map>

#include "core/emsg.h"

namespace {
constexpr int64_t kFirstDelay = 1000;
constexpr int64_t kLogEvery = 60000;
constexpr size_t kUserMax = 64;  // longer names share the entry of their first 64 bytes
constexpr int kRecent = 4;       // a user's latest addresses, for its log line
constexpr size_t kAddrLen = 16;  // IPv6, or IPv4 mapped into it
constexpr size_t kKeyMax = 1 + kAddrLen + kUserMax;

// One tracked address ('a' + address), user ('u' + name) or remembered
// login ('k' + address + name). Fixed size, so that the bound on entries is
// a bound on memory.
struct Entry {
    char key[kKeyMax];
    uint8_t keylen = 0;
    uint8_t nrecent = 0;
    int32_t failures = 0;  // within the window
    int32_t delay = 0;     // ms between evaluations; 0: not braked
    int32_t waiting = 0;
    int32_t met = 0;  // checks met by the brake since its last line
    int64_t next_ok = 0;
    int64_t last_fail = 0;
    int64_t logged = -kLogEvery;
    unsigned char recent[kRecent][kAddrLen];
    std::string_view name() const { return {key, keylen}; }
};
static_assert(sizeof(Entry) < 220);

BrakeRules rules;
std::list<Entry> lru;  // most recently seen first
std::unordered_map<std::string_view, std::list<Entry>::iterator> by_key;

// The address as 16 bytes; false when it is none or no IP address.
bool parse_addr(std::string_view text, unsigned char out[kAddrLen]) {
    if (text.empty() || text.size() > 45) return false;
    char buf[46];
    memcpy(buf, text.data(), text.size());
    buf[text.size()] = 0;
    in_addr v4;
    if (inet_pton(AF_INET, buf, &v4) == 1) {
        memset(out, 0, 10);
        out[10] = out[11] = 0xff;
        memcpy(out + 12, &v4, 4);
        return true;
    }
    return inet_pton(AF_INET6, buf, out) == 1;
}

std::string addr_text(const unsigned char a[kAddrLen]) {
    char buf[INET6_ADDRSTRLEN];
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(a, mapped, 12) == 0)
        inet_ntop(AF_INET, a + 12, buf, sizeof buf);
    else
        inet_ntop(AF_INET6, a, buf, sizeof buf);
    return buf;
}

// Key of kind k over up to two parts, in a buffer of the caller's: no
// allocation on the path of every check.
struct Key {
    char buf[kKeyMax];
    size_t len = 0;
    Key(char k, std::string_view a, std::string_view b = {}) {
        b = b.substr(0, kUserMax);
        buf[0] = k;
        // An empty part may have no storage at all: nothing to copy.
        if (!a.empty()) memcpy(buf + 1, a.data(), a.size());
        if (!b.empty()) memcpy(buf + 1 + a.size(), b.data(), b.size());
        len = 1 + a.size() + b.size();
    }
    std::string_view view() const { return {buf, len}; }
};

Entry *find(const Key &key) {
    auto it = by_key.find(key.view());
    if (it == by_key.end()) return nullptr;
    lru.splice(lru.begin(), lru, it->second);
    return &*it->second;
}

Entry *get(const Key &key) {
    if (Entry *e = find(key)) return e;
    if (lru.size() >= rules.entries && !lru.empty()) {
        by_key.erase(lru.back().name());
        lru.pop_back();
    }
    lru.emplace_front();
    Entry &e = lru.front();
    e.keylen = static_cast<uint8_t>(key.len);
    memcpy(e.key, key.buf, key.len);
    by_key.emplace(e.name(), lru.begin());
    return &e;
}

// Released after a quiet window: no failure or refusal for W.
void expire(Entry *e, int64_t now) {
    if (e && (e->failures || e->delay) && now - e->last_fail > rules.window_s * 1000LL) {
        e->failures = e->delay = 0;
        e->next_ok = 0;
    }
}

bool braked(const Entry *e) {
    return e && e->delay > 0;
}

// One line per entry per minute while its brake meets checks.
void note_met(Entry *e, int64_t now) {
    e->met++;
    if (now - e->logged < kLogEvery) return;
    std::string_view what = e->name().substr(1);
    if (e->key[0] == 'a') {
        imsg("brake: address=%s throttled count=%d delay=%ds\n",
             addr_text(reinterpret_cast<const unsigned char *>(what.data())).c_str(), e->met,
             e->delay / 1000);
    } else {
        std::string from;
        for (int i = 0; i < e->nrecent; i++) from += (i ? "," : "") + addr_text(e->recent[i]);
        imsg("brake: user=%.*s throttled count=%d delay=%ds from=%s\n",
             static_cast<int>(what.size()), what.data(), e->met, e->delay / 1000,
             from.empty() ? "-" : from.c_str());
    }
    e->logged = now;
    e->met = 0;
}

void remember_addr(Entry *u, const unsigned char a[kAddrLen]) {
    for (int i = 0; i < u->nrecent; i++)
        if (memcmp(u->recent[i], a, kAddrLen) == 0) return;
    int at = u->nrecent < kRecent ? u->nrecent++ : kRecent - 1;
    memmove(u->recent[1], u->recent[0], kAddrLen * static_cast<size_t>(at));
    memcpy(u->recent[0], a, kAddrLen);
}

void fail(Entry *e, int64_t now) {
    e->failures++;
    e->last_fail = now;
    if (e->failures < rules.failures) return;
    e->delay = e->delay ? std::min<int32_t>(e->delay * 2, rules.max_delay_s * 1000) : kFirstDelay;
    e->next_ok = std::max(e->next_ok, now + e->delay);
    note_met(e, now);
}

// The entries a check concerns: its user and its address (when it has one).
// Whether the address logged in as the user before is looked up only when
// it matters (the user is braked).
struct Parties {
    Entry *user = nullptr;
    Entry *addr = nullptr;
    bool has_addr = false;
    unsigned char a[kAddrLen];
    std::string_view abytes() const { return {reinterpret_cast<const char *>(a), kAddrLen}; }
};

Parties parties(std::string_view user, std::string_view addr, bool create) {
    Parties p;
    p.has_addr = parse_addr(addr, p.a);
    Key uk('u', {}, user);
    p.user = create ? get(uk) : find(uk);
    if (p.has_addr) {
        Key ak('a', p.abytes());
        p.addr = create ? get(ak) : find(ak);
    }
    return p;
}

bool known(const Parties &p, std::string_view user) {
    return p.has_addr && find(Key('k', p.abytes(), user)) != nullptr;
}
}  // namespace

void brake_configure(const BrakeRules &r) {
    rules = r;
    // Bounds that keep the millisecond arithmetic in range: an hour's delay
    // and a day's window are more than any brake needs.
    rules.entries = std::max<size_t>(rules.entries, 3);
    rules.max_delay_s = std::clamp(rules.max_delay_s, 1, 3600);
    rules.window_s = std::clamp(rules.window_s, 1, 86400);
    by_key.clear();
    lru.clear();
}

bool brake_on() {
    return rules.failures > 0;
}

BrakeVerdict brake_admit(std::string_view user, std::string_view addr, int64_t now) {
    if (!brake_on()) return {BrakeCall::kNow, now};
    Parties p = parties(user, addr, false);
    expire(p.user, now);
    expire(p.addr, now);
    Entry *u = braked(p.user) && !known(p, user) ? p.user : nullptr;
    Entry *a = braked(p.addr) ? p.addr : nullptr;
    int64_t at = now;
    for (Entry *e : {u, a})
        if (e) at = std::max(at, e->next_ok);
    if (at > now) {
        for (Entry *e : {u, a}) {
            if (!e) continue;
            if (p.has_addr && e == p.user) remember_addr(e, p.a);
            note_met(e, now);
        }
        bool full = (u && u->waiting >= kBrakeWaitMax) || (a && a->waiting >= kBrakeWaitMax);
        if (full) {
            // Hammering keeps the brake on, but refusals do not lengthen it.
            for (Entry *e : {u, a})
                if (e) e->last_fail = now;
            return {BrakeCall::kRefuse, now};
        }
    }
    for (Entry *e : {u, a}) {
        if (!e) continue;
        e->next_ok = at + e->delay;
        if (at > now) e->waiting++;
    }
    return {at > now ? BrakeCall::kLater : BrakeCall::kNow, at};
}

void brake_leave(std::string_view user, std::string_view addr) {
    if (!brake_on()) return;
    Parties p = parties(user, addr, false);
    for (Entry *e : {p.user, p.addr})
        if (e && e->waiting > 0) e->waiting--;
}

void brake_result(std::string_view user, std::string_view addr, bool accepted, int64_t now) {
    if (!brake_on()) return;
    if (accepted) {
        unsigned char a[kAddrLen];
        if (parse_addr(addr, a))
            get(Key('k', std::string_view(reinterpret_cast<const char *>(a), kAddrLen), user));
        return;
    }
    Parties p = parties(user, addr, true);
    for (Entry *e : {p.user, p.addr}) {
        if (!e) continue;
        expire(e, now);
        if (e == p.user && p.has_addr) remember_addr(e, p.a);
        fail(e, now);
    }
}

size_t brake_entries() {
    return lru.size();
}
