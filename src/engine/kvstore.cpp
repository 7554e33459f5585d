#include "engine/kvstore.h"

#include "engine/hugemem.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// ---- string pool ----
constexpr int kBlockSize = 10000;

struct MLIST {
    char *data;  // owned by a slab below
    std::unique_ptr<MLIST> next;
};
std::unique_ptr<MLIST> mlist;
MLIST *mcur;
int zupto;
int zleft;
long zblocks;

// Strings that replace a record's password or information are taken in
// 16-byte units, a marker byte before the text, so that the text they
// supersede can be handed back and used again: without that, a user who is
// changed again and again would grow the pool by every old value. Strings
// loaded with their record (no marker) are only freed with the whole pool.
constexpr int kUnit = 16;
constexpr char kReusable = 1;
std::vector<std::vector<char *>> free_units;  // by size in units

int units_for(size_t len) {
    return static_cast<int>((len + 2 + kUnit - 1) / kUnit);  // marker and terminator
}

// Blocks are cut from 2 MiB slabs so that a large pool sits in huge pages.
constexpr size_t kSlabSize = size_t{2} << 20;
std::vector<HugeArray<char>> slabs;
size_t slab_used = kSlabSize;

char *take_block() {
    if (slab_used + kBlockSize > kSlabSize) {
        slabs.push_back(huge_array<char>(kSlabSize, false));
        slab_used = 0;
    }
    char *b = slabs.back().get() + slab_used;
    slab_used += kBlockSize;
    return b;
}

// ---- record store ----
// Fixed-size chunks keep record addresses stable and ids dense.
constexpr uint32_t kChunkShift = 16;  // 2 MiB of records
constexpr uint32_t kChunkSize = 1u << kChunkShift;
std::vector<HugeArray<USER>> chunks;
uint32_t nrecs;

// ---- name index ----
// Open addressing with linear probing over record ids; a slot of 0 is empty.
HugeArray<uint32_t> slots;
// While a bulk load runs: the same table with the upper half of each name's
// hash beside its id, so that probing rarely needs to look at a record.
HugeArray<uint64_t> bulk;
uint32_t mask;  // capacity - 1; capacity is a power of two (0 when unallocated)
uint32_t used;

uint64_t name_hash(const char *s) {
    uint64_t h = 1469598103934665603ull;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        h ^= *p;
        h *= 1099511628211ull;
    }
    return h ^ (h >> 29);
}

void nmap_rehash(uint32_t cap) {
    HugeArray<uint32_t> old = std::move(slots);
    uint32_t oldcap = old ? mask + 1 : 0;
    slots = huge_array<uint32_t>(cap, true);
    mask = cap - 1;
    for (uint32_t i = 0; i < oldcap; i++) {
        uint32_t id = old[i];
        if (!id) continue;
        uint32_t j = static_cast<uint32_t>(name_hash(rec_get(id)->user)) & mask;
        while (slots[j]) j = (j + 1) & mask;
        slots[j] = id;
    }
}

// Capacity for n names at a load of at most 3/4.
uint32_t capacity_for(uint32_t n) {
    uint32_t cap = 16;
    while (cap - cap / 4 < n + 1) cap <<= 1;
    return cap;
}

// Slot of name, or the empty slot where it would go.
uint32_t nmap_slot(const char *name) {
    uint32_t j = static_cast<uint32_t>(name_hash(name)) & mask;
    while (slots[j] && strcmp(rec_get(slots[j])->user, name) != 0) j = (j + 1) & mask;
    return j;
}

}  // namespace

void *zmalloc(int sz) {
    if (sz >= zleft) {
        auto node = std::make_unique<MLIST>();
        node->data = take_block();
        MLIST *raw = node.get();
        if (!mlist)
            mlist = std::move(node);
        else
            mcur->next = std::move(node);
        mcur = raw;
        zleft = kBlockSize;
        zupto = 0;
        zblocks++;
    }
    char *p = mcur->data + zupto;
    zupto += sz;
    zleft -= sz;
    return p;
}

char *zstrdup(const char *s) {
    size_t n = strlen(s) + 1;
    char *p = static_cast<char *>(zmalloc(static_cast<int>(n)));
    memcpy(p, s, n);
    return p;
}

void zstrfree(char *) {}

char *zvalue_dup(const char *s) {
    size_t len = strlen(s);
    int units = units_for(len);
    char *p;
    if (static_cast<size_t>(units) < free_units.size() &&
        !free_units[static_cast<size_t>(units)].empty()) {
        p = free_units[static_cast<size_t>(units)].back();
        free_units[static_cast<size_t>(units)].pop_back();
    } else {
        p = static_cast<char *>(zmalloc(units * kUnit));
    }
    p[0] = kReusable;
    memcpy(p + 1, s, len + 1);
    return p + 1;
}

bool zvalue_free(const char *s) {
    // A string loaded with its record follows the terminator of the field before it.
    if (s[-1] != kReusable) return false;
    size_t units = static_cast<size_t>(units_for(strlen(s)));
    if (units >= free_units.size()) free_units.resize(units + 1);
    free_units[units].push_back(const_cast<char *>(s - 1));
    return true;
}

void zfreeall() {
    // Unlink iteratively: a recursive unique_ptr chain of many blocks would
    // exhaust the stack when released.
    while (mlist) mlist = std::move(mlist->next);
    slabs.clear();
    slabs.shrink_to_fit();
    free_units.clear();
    free_units.shrink_to_fit();
    slab_used = kSlabSize;
    mcur = nullptr;
    zupto = 0;
    zleft = 0;
    zblocks = 0;
}

long zpool_bytes() {
    return static_cast<long>(slabs.size() * kSlabSize) + zblocks * static_cast<long>(sizeof(MLIST));
}

uint32_t rec_new() {
    return rec_new_n(1);
}

uint32_t rec_new_n(uint32_t n) {
    uint32_t first = nrecs;
    nrecs += n;
    while ((static_cast<size_t>(nrecs - 1) >> kChunkShift) >= chunks.size())
        chunks.push_back(huge_array<USER>(kChunkSize, false));
    return first + 1;
}

USER *rec_get(uint32_t id) {
    uint32_t idx = id - 1;
    return &chunks[idx >> kChunkShift][idx & (kChunkSize - 1)];
}

uint32_t rec_id(const USER *u) {
    for (size_t c = 0; c < chunks.size(); c++) {
        const USER *base = chunks[c].get();
        if (u >= base && u < base + kChunkSize)
            return static_cast<uint32_t>((c << kChunkShift) + static_cast<size_t>(u - base) + 1);
    }
    return 0;
}

void rec_freeall() {
    chunks.clear();
    chunks.shrink_to_fit();
    nrecs = 0;
}

long rec_bytes() {
    return static_cast<long>(chunks.size() * kChunkSize * sizeof(USER));
}

void nmap_reserve(uint32_t n) {
    uint32_t cap = capacity_for(n);
    if (!slots || cap > mask + 1) nmap_rehash(cap);
}

uint32_t nmap_find(const char *name) {
    if (!slots) return 0;
    return slots[nmap_slot(name)];
}

void nmap_put(const char *name, uint32_t id) {
    if (!slots || used + 1 > (mask + 1) - (mask + 1) / 4) nmap_rehash(capacity_for(used + 1));
    uint32_t j = nmap_slot(name);
    if (!slots[j]) used++;
    slots[j] = id;
}

void nmap_erase(const char *name) {
    if (!slots) return;
    uint32_t j = nmap_slot(name);
    if (!slots[j]) return;
    slots[j] = 0;
    used--;
    // Backward-shift: move later members of the probe run into the hole so
    // that no lookup stops early at it.
    uint32_t hole = j;
    for (uint32_t k = (j + 1) & mask; slots[k]; k = (k + 1) & mask) {
        uint32_t home = static_cast<uint32_t>(name_hash(rec_get(slots[k])->user)) & mask;
        // Entry k may fill the hole when its home is not cyclically within (hole, k].
        bool stays = (hole <= k) ? (home > hole && home <= k) : (home > hole || home <= k);
        if (stays) continue;
        slots[hole] = slots[k];
        slots[k] = 0;
        hole = k;
    }
}

void nmap_clear() {
    slots.reset();
    mask = 0;
    used = 0;
}

uint32_t nmap_size() {
    return used;
}

long nmap_bytes() {
    return slots ? static_cast<long>((mask + 1) * sizeof(uint32_t)) : 0;
}

void nmap_bulk_begin(uint32_t n) {
    nmap_clear();
    uint32_t cap = capacity_for(n);
    bulk = huge_array<uint64_t>(cap, true);
    mask = cap - 1;
}

void nmap_bulk_add(const char *name, uint32_t id) {
    uint64_t h = name_hash(name);
    uint64_t tag = h >> 32;
    uint32_t j = static_cast<uint32_t>(h) & mask;
    for (; bulk[j]; j = (j + 1) & mask)
        if ((bulk[j] >> 32) == tag &&
            strcmp(rec_get(static_cast<uint32_t>(bulk[j]))->user, name) == 0)
            return;
    bulk[j] = (tag << 32) | id;
    used++;
}

void nmap_bulk_end() {
    uint32_t cap = mask + 1;
    slots = huge_array<uint32_t>(cap, false);
    for (uint32_t i = 0; i < cap; i++) slots[i] = static_cast<uint32_t>(bulk[i]);
    bulk.reset();
}