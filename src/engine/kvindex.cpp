#include "engine/kvindex.h"

#include "engine/hugemem.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/emsg.h"
#include "core/metrics.h"
#include "engine/flock.h"
#include "engine/kvfilename.h"
#include "engine/kvline.h"
#include "engine/kvrules.h"
#include "engine/kvstore.h"
#include "lib/lib.h"

namespace {
const MetricFamily users_family{"engine_users", MetricType::kGauge, "Users in the index.",
                                [](MetricOut &o) { o.sample("", nmap_size()); }};
const MetricFamily add_file_family{
    "engine_add_file_bytes", MetricType::kGauge,
    "Size of kvauth.add: the changes since kvauth.txt was last rebuilt.",
    [](MetricOut &o) {
        struct stat st {};
        o.sample("",
                 stat(file_config("kvauth.add"), &st) == 0 ? static_cast<double>(st.st_size) : 0);
    },
    "bytes"};
}  // namespace

namespace {
USER *users[AUTH_BUCKETS];
int total_user_count;
int done_build_index;
int done_check_add;
int add_file_reread;
int last_size;
int last_cdate;

char empty_name[1] = "";
// Bytes of the index that no live record uses any more and that the pool
// cannot hand out again: deleted records and superseded loaded strings.
long garbage_bytes;

// Gives a record's field a new value; the value it supersedes goes back to the pool.
void replace_value(const char **field, const char *value) {
    const char *old = *field;
    *field = value == empty_name ? empty_name : zvalue_dup(value);
    if (old != empty_name && !zvalue_free(old)) garbage_bytes += static_cast<long>(strlen(old)) + 1;
}

// Lowercased copy of the first 999 characters: the key every lookup uses.
void make_key(char *key, const char *user) {
    ncpy(key, user, 999);
    strlwr(key);
}

USER *find_mut(const char *user) {
    char key[1000];
    make_key(key, user);
    if (!key[0]) return nullptr;
    uint32_t id = nmap_find(key);
    return id ? rec_get(id) : nullptr;
}

// One record with its three strings side by side in the pool.
void fill_record(USER *u, const char *name, size_t name_len, const char *pass, size_t pass_len,
                 const char *info, size_t info_len) {
    char *p = static_cast<char *>(zmalloc(static_cast<int>(name_len + pass_len + info_len + 3)));
    memcpy(p, name, name_len);
    p[name_len] = 0;
    strlwr(p);
    u->user = p;
    p += name_len + 1;
    memcpy(p, pass, pass_len);
    p[pass_len] = 0;
    u->pass = p;
    p += pass_len + 1;
    memcpy(p, info, info_len);
    p[info_len] = 0;
    u->info = p;
}

uint32_t push_record(const char *name, const char *pass, const char *info) {
    uint32_t id = rec_new();
    USER *u = rec_get(id);
    fill_record(u, name, strlen(name), pass, strlen(pass), info, strlen(info));
    int b = str_hash(u->user, AUTH_BUCKETS);
    u->next = users[b];
    users[b] = u;
    nmap_put(u->user, id);
    return id;
}

FILE *open_db_with_retries(const char *fname) {
    FILE *f = myfopen(fname, "r");
    if (f) return f;
    emsg("Unable to open %s, %s - trying again\n", fname, strerror(errno));
    for (int i = 0; i < 10 && !f; i++) {
        usleep(100000);
        f = myfopen(fname, "r");
    }
    return f;
}

// A record read by the build, before it gets its place in the record store:
// its three strings lie side by side in the pool.
struct Loaded {
    char *user;
    uint16_t user_len;
    uint16_t pass_len;
    uint16_t bucket;
};

// The records of one build, in file order; grows by doubling.
class LoadedList {
   public:
    explicit LoadedList(size_t cap) : cap_(cap ? cap : 16), a_(huge_array<Loaded>(cap_, false)) {}
    void push(const Loaded &l) {
        if (n_ == cap_) {
            HugeArray<Loaded> b = huge_array<Loaded>(cap_ * 2, false);
            memcpy(b.get(), a_.get(), n_ * sizeof(Loaded));
            a_ = std::move(b);
            cap_ *= 2;
        }
        a_[n_++] = l;
    }
    size_t size() const { return n_; }
    const Loaded &operator[](size_t i) const { return a_[i]; }

   private:
    size_t cap_;
    size_t n_ = 0;
    HugeArray<Loaded> a_;
};

// Gives every record of the build its place: bucket by bucket, each bucket
// newest first, so that chains are contiguous in memory and a walk of the
// index reads the record store from front to back.
void place_records(const LoadedList &loaded) {
    uint32_t n = static_cast<uint32_t>(loaded.size());
    if (n == 0) return;
    std::vector<uint32_t> start(AUTH_BUCKETS + 1, 0);
    for (size_t i = 0; i < n; i++) start[loaded[i].bucket + 1u]++;
    for (size_t b = 0; b < AUTH_BUCKETS; b++) start[b + 1] += start[b];
    uint32_t first_id = rec_new_n(n);
    std::vector<uint32_t> fill(start.begin(), start.end() - 1);
    nmap_bulk_begin(n);
    // Walking the file backwards hands each bucket its records newest first,
    // and the name index keeps the first (newest) record of each name.
    for (size_t i = n; i-- > 0;) {
        const Loaded &l = loaded[i];
        uint32_t id = first_id + fill[l.bucket]++;
        USER *u = rec_get(id);
        u->user = l.user;
        u->pass = l.user + l.user_len + 1;
        u->info = l.user + l.user_len + 1 + l.pass_len + 1;
        u->next = nullptr;
        nmap_bulk_add(l.user, id);
    }
    nmap_bulk_end();
    for (size_t b = 0; b < AUTH_BUCKETS; b++) {
        uint32_t s = start[b], e = start[b + 1];
        if (s == e) continue;
        for (uint32_t pos = s; pos + 1 < e; pos++)
            rec_get(first_id + pos)->next = rec_get(first_id + pos + 1);
        users[b] = rec_get(first_id + s);
    }
}

// The add file replays again and again: each bad line is logged by the first
// replay that reaches it only (the file and how far it was read).
ino_t reported_ino;
long reported_upto;

}  // namespace

int str_hash(const char *s, int max) {
    // Wrap-around as a 32-bit signed total would, without signed overflow.
    uint32_t total = 0;
    uint32_t weight = 0;
    for (const char *p = s; *p; p++, weight += 8)
        total += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p))) * weight;
    int32_t t = static_cast<int32_t>(total);
    int32_t r = t % max;
    return r < 0 ? -r : r;
}

char *strlwr(char *s) {
    for (char *p = s; *p; p++)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    return s;
}

int f_size(FILE *f) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return 0;
    return static_cast<int>(st.st_size);
}

int f_cdate(FILE *f) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return 0;
    return static_cast<int>(st.st_ctime);
}

int free_index() {
    for (USER *&h : users) h = nullptr;
    garbage_bytes = 0;
    nmap_clear();
    rec_freeall();
    zfreeall();
    add_file_reread = 1;
    return 1;
}

int build_index(const char *reason) {
    done_build_index = 1;
    if (!auth_lock()) return 0;
    emsg("Build_index called %s\n", reason);
    free_index();
    char fname[1000];
    ncpy(fname, file_config("kvauth.txt"), 999);
    chmod(fname, 0660);
    FilePtr f(open_db_with_retries(fname));
    if (!f) {
        emsg("Build_index FAILED %s\n", strerror(errno));
        auth_unlock();
        return 1;
    }
    LoadedList loaded(static_cast<size_t>(f_size(f.get())) / 48 + 16);  // growth would copy it all
    KvLineBuf line;
    int lineno = 0;
    while (!feof(f.get())) {
        ssize_t n = line.read(f.get());
        if (n < 0) {
            imsg("fgets returned null\n");
            break;
        }
        lineno++;
        KvLine dl;
        const char *fault;
        if (!kvline_parse(line.text(), static_cast<size_t>(n), &dl, &fault)) {
            if (fault) emsg("Line %d of %s %s, left out\n", lineno, fname, fault);
            continue;
        }
        USER tmp;
        fill_record(&tmp, dl.user, dl.user_len, dl.pass, dl.pass_len, dl.info, dl.info_len);
        loaded.push({const_cast<char *>(tmp.user), static_cast<uint16_t>(dl.user_len),
                     static_cast<uint16_t>(dl.pass_len),
                     static_cast<uint16_t>(str_hash(tmp.user, AUTH_BUCKETS))});
    }
    imsg("end of file reached, or fgets returned null\n");
    f.reset();
    place_records(loaded);
    int count = static_cast<int>(loaded.size());
    emsg("Read %d lines from kvauth.txt\n", count);
    total_user_count = count;
    auth_unlock();
    return 1;
}

void check_add() {
    check_add_raw(file_config("kvauth.add"));
}

void check_add_raw(const char *fname_in) {
    char fname[1000];
    ncpy(fname, fname_in, 999);
    if (add_file_reread) last_size = 0;
    add_file_reread = 0;
    done_check_add = 1;
    FilePtr f(myfopen(fname, "r"));
    if (!f) {
        dmsg("No (%s) file found\n", fname);
        return;
    }
    int size = f_size(f.get());
    int cdate = f_cdate(f.get());
    if (cdate == last_cdate && size == last_size) {
        dmsg("File size has not changed %d!=%d\n", size, last_size);
        return;
    }
    last_size = size;
    last_cdate = cdate;
    dmsg("Reading %s (%d)\n", fname, size);
    struct stat st;
    ino_t ino = fstat(fileno(f.get()), &st) == 0 ? st.st_ino : 0;
    if (ino != reported_ino || size < reported_upto) reported_upto = 0;
    KvLineBuf line;
    int count = 0, lineno = 0;
    long at = 0;
    for (ssize_t n; (n = line.read(f.get())) >= 0; at += n) {
        lineno++;
        KvLine dl;
        const char *fault;
        if (!kvline_parse(line.text(), static_cast<size_t>(n), &dl, &fault)) {
            if (fault && at >= reported_upto)
                emsg("Line %d of %s %s, left out\n", lineno, fname, fault);
            continue;
        }
        // The fields whole: a cut name or password would be another user's
        // record, or a password that no longer verifies.
        char rec[KVLINE_MAX + 3];
        char *user = rec, *pass = user + dl.user_len + 1, *info = pass + dl.pass_len + 1;
        ncpy(user, dl.user, static_cast<int>(dl.user_len));
        ncpy(pass, dl.pass, static_cast<int>(dl.pass_len));
        ncpy(info, dl.info, static_cast<int>(dl.info_len));
        count++;
        auth_fixup(user, pass, info);
    }
    reported_ino = ino;
    if (at > reported_upto) reported_upto = at;
    dmsg("Closing %s\n", fname);
    emsg("Read %d lines from %s\n", count, fname);
}

void auth_fixup(const char *user, const char *pass_in, const char *info) {
    const char *pass = pass_in;
    if (strcmp(pass, "(NULL)") == 0) pass = db_pass(user);
    USER *u = find_mut(user);
    bool del = strcmp(pass, "(DELETE)") == 0;
    bool block = strcmp(info, "(BLOCK)") == 0;
    bool unblock = strcmp(info, "(UNBLOCK)") == 0;
    if (u) {
        if (del) {
            dmsg("debug:   blanking user field {%s}\n", u->user);
            // The next older record of the same name answers from now on.
            const USER *older = u->next;
            while (older && strcmp(older->user, u->user) != 0) older = older->next;
            if (older)
                nmap_put(u->user, rec_id(older));
            else
                nmap_erase(u->user);
            garbage_bytes += static_cast<long>(sizeof(USER) + strlen(u->user)) + 1;
            u->user = empty_name;
            replace_value(&u->pass, empty_name);
            replace_value(&u->info, empty_name);
            total_user_count--;
        } else if (block) {
            std::string nb;
            if (info_block(u->info, &nb)) replace_value(&u->info, nb.c_str());
        } else if (unblock) {
            std::string nb;
            if (info_unblock(u->info, &nb)) replace_value(&u->info, nb.c_str());
        } else {
            dmsg("debug:   modified user {%s} passsword or details\n", u->user);
            // Every replay applies the whole add file again: a line that is
            // already in force must not take pool memory again.
            if (strcmp(u->pass, pass) != 0) replace_value(&u->pass, pass);
            if (strcmp(u->info, info) != 0) replace_value(&u->info, info);
        }
        return;
    }
    if (del) return;
    dmsg("debug:   adding slot for {%s}\n", user);
    push_record(user, pass, info);
    total_user_count++;
}

const USER *auth_find(const char *user) {
    return find_mut(user);
}

int db_check(const char *user, const char *pass, char *info) {
    if (!auth_index_built()) build_index("pass");
    if (!auth_add_replayed()) check_add();
    if (!pass)
        imsg("db_check(%s,'NULL')\n", user);
    else
        imsg("db_check(%s,xxxx)\n", user);
    const USER *u = auth_find(user);
    if (!u) {
        imsg("User not found (%s)\n", user);
        return 0;
    }
    ncpy(info, u->info, 999);
    info[999] = 0;
    if (!pass) return 1;
    return pass_verify(user, u->user, u->pass, info, pass);
}

const char *db_pass(const char *user) {
    const USER *u = find_mut(user);
    return u ? u->pass : "none";
}

const USER *auth_bucket(int b) {
    return (b >= 0 && b < AUTH_BUCKETS) ? users[b] : nullptr;
}

int auth_walk(int (*fn)(const USER *u, void *arg), void *arg) {
    for (const USER *head : users)
        for (const USER *u = head; u; u = u->next)
            if (u->user[0] && !fn(u, arg)) return 0;
    return 1;
}

int auth_index_built() {
    return done_build_index;
}
int auth_add_replayed() {
    return done_check_add;
}
void set_add_file_reread() {
    add_file_reread = 1;
}
int auth_user_count() {
    return total_user_count;
}

long auth_index_bytes() {
    return zpool_bytes() + rec_bytes() + nmap_bytes();
}

int compact_index() {
    // Copying every live record costs about as much as writing the file:
    // worth it once a quarter of the index is garbage, which keeps memory
    // within a third above what the live users need.
    if (garbage_bytes * 4 <= auth_index_bytes()) return 0;
    struct Live {
        size_t at;
        uint16_t user_len, pass_len, info_len, bucket;
    };
    std::string text;
    std::vector<Live> live;
    for (int b = 0; b < AUTH_BUCKETS; b++)
        for (const USER *u = users[b]; u; u = u->next) {
            if (!u->user[0]) continue;
            Live l{text.size(), static_cast<uint16_t>(strlen(u->user)),
                   static_cast<uint16_t>(strlen(u->pass)), static_cast<uint16_t>(strlen(u->info)),
                   static_cast<uint16_t>(b)};
            text.append(u->user, l.user_len)
                .append(u->pass, l.pass_len)
                .append(u->info, l.info_len);
            live.push_back(l);
        }
    int reread = add_file_reread;
    free_index();
    add_file_reread = reread;
    uint32_t n = static_cast<uint32_t>(live.size());
    if (n == 0) return 1;
    // Chains keep their order: search answers and rebuilt files stay the same.
    uint32_t first = rec_new_n(n);
    nmap_bulk_begin(n);
    USER *prev = nullptr;
    for (uint32_t i = 0; i < n; i++) {
        const Live &l = live[i];
        USER *u = rec_get(first + i);
        const char *t = text.data() + l.at;
        fill_record(u, t, l.user_len, t + l.user_len, l.pass_len, t + l.user_len + l.pass_len,
                    l.info_len);
        u->next = nullptr;
        if (i > 0 && live[i - 1].bucket == l.bucket)
            prev->next = u;
        else
            users[l.bucket] = u;
        prev = u;
        nmap_bulk_add(u->user, first + i);
    }
    nmap_bulk_end();
    return 1;
}

void kvindex_close() {
    free_index();
    total_user_count = 0;
    done_build_index = 0;
    done_check_add = 0;
    add_file_reread = 0;
    last_size = 0;
    last_cdate = 0;
    reported_ino = 0;
    reported_upto = 0;
}
