#include "session/brake.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/emsg.h"
#include "core/metrics.h"
#include "net/timer.h"

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
    uint32_t tag = 0;
    int32_t prev = -1;
    int32_t next = -1;
    std::string_view name() const { return {key, keylen}; }
};
static_assert(sizeof(Entry) + 2 * sizeof(uint64_t) < 240);

BrakeRules rules;

// The entries sit in a deque (stable addresses while it grows), linked in
// least-recently-seen order by index, and are found through an open
// addressing table of 8-byte slots: the low 32 bits of the key's hash and
// the entry's index plus one (0: empty). A check looks up two or three keys
// that are mostly absent; a slot array answers such a miss from one cache
// line, where node-based maps walked several. The key bytes are still
// compared, so equal hashes never merge two entries.
std::deque<Entry> pool;
int32_t head = -1;  // most recently seen
int32_t tail = -1;
std::vector<uint64_t> slots;
size_t mask;

uint32_t tag_of(std::string_view key) {
    return static_cast<uint32_t>(std::hash<std::string_view>()(key));
}

// The slot that holds entry idx, or of the first empty one for a new key.
size_t slot_of(uint32_t tag, int32_t idx) {
    size_t i = tag & mask;
    while (slots[i] && static_cast<int32_t>(slots[i] & 0xffffffff) - 1 != idx) i = (i + 1) & mask;
    return i;
}

void slot_put(uint32_t tag, int32_t idx) {
    slots[slot_of(tag, -2)] = (static_cast<uint64_t>(tag) << 32) | static_cast<uint32_t>(idx + 1);
}

// Removes entry idx's slot, moving later slots of the same run back so
// that no probe stops early (no tombstones).
void slot_drop(uint32_t tag, int32_t idx) {
    size_t i = slot_of(tag, idx);
    for (size_t j = (i + 1) & mask; slots[j]; j = (j + 1) & mask) {
        size_t home = (slots[j] >> 32) & mask;
        bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (!stays) {
            slots[i] = slots[j];
            i = j;
        }
    }
    slots[i] = 0;
}

// Keeps the table at most half full.
void slots_grow() {
    if (!slots.empty() && (pool.size() + 1) * 2 <= slots.size()) return;
    slots.assign(std::max<size_t>(64, slots.size() * 2), 0);
    mask = slots.size() - 1;
    for (size_t i = 0; i < pool.size(); i++) slot_put(pool[i].tag, static_cast<int32_t>(i));
}

void unlink(int32_t i) {
    Entry &e = pool[static_cast<size_t>(i)];
    (e.prev >= 0 ? pool[static_cast<size_t>(e.prev)].next : head) = e.next;
    (e.next >= 0 ? pool[static_cast<size_t>(e.next)].prev : tail) = e.prev;
}

void push_front(int32_t i) {
    Entry &e = pool[static_cast<size_t>(i)];
    e.prev = -1;
    e.next = head;
    (head >= 0 ? pool[static_cast<size_t>(head)].prev : tail) = i;
    head = i;
}

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

Entry *find(const Key &key, uint32_t tag) {
    if (slots.empty()) return nullptr;
    for (size_t i = tag & mask; slots[i]; i = (i + 1) & mask) {
        if (static_cast<uint32_t>(slots[i] >> 32) != tag) continue;
        auto idx = static_cast<int32_t>(slots[i] & 0xffffffff) - 1;
        Entry &e = pool[static_cast<size_t>(idx)];
        if (e.name() != key.view()) continue;
        if (head != idx) {
            unlink(idx);
            push_front(idx);
        }
        return &e;
    }
    return nullptr;
}

Entry *find(const Key &key) {
    return find(key, tag_of(key.view()));
}

Entry *get(const Key &key) {
    uint32_t tag = tag_of(key.view());
    if (Entry *e = find(key, tag)) return e;
    int32_t idx;
    if (pool.size() >= rules.entries && tail >= 0) {
        // The least recently seen entry makes room, in place.
        idx = tail;
        slot_drop(pool[static_cast<size_t>(idx)].tag, idx);
        unlink(idx);
        pool[static_cast<size_t>(idx)] = Entry{};
    } else {
        slots_grow();
        idx = static_cast<int32_t>(pool.size());
        pool.emplace_back();
    }
    Entry &e = pool[static_cast<size_t>(idx)];
    e.keylen = static_cast<uint8_t>(key.len);
    memcpy(e.key, key.buf, key.len);
    e.tag = tag;
    slot_put(tag, idx);
    push_front(idx);
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

// Braked now: what expire would not release. A walk over the entries, at a
// scrape only.
const MetricFamily throttled_family{
    "brake_throttled", MetricType::kGauge, "Users and addresses the brake holds back now.",
    [](MetricOut &o) {
        int64_t now = timer_now_ms();
        double users = 0, addrs = 0;
        for (const Entry &e : pool) {
            if (!braked(&e) || now - e.last_fail > rules.window_s * 1000LL) continue;
            if (e.key[0] == 'a') addrs++;
            if (e.key[0] == 'u') users++;
        }
        o.sample("kind=\"user\"", users);
        o.sample("kind=\"address\"", addrs);
    }};

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
    pool.clear();
    slots.clear();
    head = tail = -1;
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
    return pool.size();
}
