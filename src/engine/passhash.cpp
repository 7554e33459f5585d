#include "engine/passhash.h"

#include <argon2.h>
#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/ini.h"
#include "engine/ld_sha.h"
#include "lib/lib.h"

namespace {
constexpr int kDigestBuf = 990;
constexpr int kSshaPrefix = 6;  // "{ssha}", not examined: the digest text follows it

// The most work a field may ask for, at verify time and in the configuration
// alike: each about half a second of one core here (doc/passwords.md has the
// measurements). A client that may store fields must not make the server
// hash for seconds.
constexpr unsigned long kShaRoundsMax = 1000000;     // $5$ and $6$ (crypt's least is 1000)
constexpr unsigned long kBcryptCostMax = 13;         // 2^13 rounds
constexpr unsigned long kScryptWorkMax = 1UL << 19;  // N * r * p of $y$, $gy$, $7$ (64 MiB at p 1)
constexpr unsigned long kYescryptCostMax = 7;        // crypt's cost 7: N 2^14, r 32
constexpr unsigned long kArgonMemMax = 65536;        // KiB: 64 MiB
constexpr unsigned long kArgonWorkMax = 262144;      // t * m in KiB: t 4 at 64 MiB
constexpr unsigned long kArgonLanesMax = 8;
constexpr size_t kLdapSaltMin = 4, kLdapSaltMax = 64;
constexpr size_t kArgonSalt = 16, kArgonHash = 32;

constexpr char kItoa64[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

int atoi64(char c) {
    const char *p = c ? strchr(kItoa64, c) : nullptr;
    return p ? static_cast<int>(p - kItoa64) : -1;
}

// What a stored field's text says about its scheme and cost, read without
// hashing anything. work is the figure the bound applies to.
enum class Kind {
    other,
    md5,
    sha256,
    sha512,
    bcrypt,
    yescrypt,
    scrypt,
    argon2id,
    argon2i,
    argon2d,
    unbounded
};
struct Field {
    Kind kind = Kind::other;
    bool readable = true;               // false: the parameters could not be read, so not bounded
    unsigned long work = 0;             // rounds, cost, N*r*p, or t*m
    unsigned long t = 0, m = 0, p = 0;  // argon2
};

bool has_prefix(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

// A decimal number of at most 9 digits at *s, moved past; false when none.
bool read_number(const char **s, unsigned long *out) {
    const char *p = *s;
    size_t n = strspn(p, "0123456789");
    if (n == 0 || n > 9) return false;
    *out = strtoul(p, nullptr, 10);
    *s = p + n;
    return true;
}

void read_sha_crypt(const char *p, Field *f) {
    f->work = 5000;  // crypt's number when the field names none
    if (has_prefix(p, "rounds=")) {
        p += 7;
        f->readable = read_number(&p, &f->work) && *p == '$';
    }
}

void read_bcrypt(const char *p, Field *f) {
    f->readable = read_number(&p, &f->work) && *p == '$';
}

// "$y$" and "$gy$" fields as crypt's own salt maker writes them: a flavour
// character, then N and r as one character each. Longer parameter lists
// (more lanes, extra time) are not read and so not taken.
void read_yescrypt(const char *p, Field *f) {
    int n = atoi64(p[0] ? p[1] : 0), r = n >= 0 ? atoi64(p[2]) : -1;
    f->readable = atoi64(p[0]) >= 0 && n >= 0 && n < 30 && r >= 0 && r < 47 && p[3] == '$';
    if (f->readable) f->work = (1UL << (n + 1)) * static_cast<unsigned long>(r + 1);
}

// "$7$": N as one character (its log2), r and p as five characters each.
void read_scrypt(const char *p, Field *f) {
    unsigned long v[2] = {0, 0};
    int n = atoi64(p[0]);
    f->readable = n >= 0 && n < 40;
    for (int k = 0; f->readable && k < 10; k++) {
        int c = atoi64(p[1 + k]);
        f->readable = c >= 0;
        if (c >= 0) v[k / 5] |= static_cast<unsigned long>(c) << (6 * (k % 5));
    }
    if (!f->readable) return;
    unsigned long N = 1UL << n, rp = v[0] * v[1];
    f->readable = rp > 0 && rp <= kScryptWorkMax && N <= kScryptWorkMax;
    if (f->readable) f->work = N * rp;
}

// "[v=19$]m=M,t=T,p=P$" after the argon2 kind.
void read_argon2(const char *p, Field *f) {
    if (has_prefix(p, "v=")) {
        unsigned long v = 0;
        p += 2;
        if (!read_number(&p, &v) || *p++ != '$') {
            f->readable = false;
            return;
        }
    }
    f->readable = has_prefix(p, "m=") && (p += 2, read_number(&p, &f->m)) && has_prefix(p, ",t=") &&
                  (p += 3, read_number(&p, &f->t)) && has_prefix(p, ",p=") &&
                  (p += 3, read_number(&p, &f->p)) && *p == '$';
    f->work = f->t * f->m;
}

Field read_field(const char *s) {
    Field f;
    if (has_prefix(s, "$1$")) {
        f.kind = Kind::md5;
    } else if (has_prefix(s, "$5$") || has_prefix(s, "$6$")) {
        f.kind = s[1] == '5' ? Kind::sha256 : Kind::sha512;
        read_sha_crypt(s + 3, &f);
    } else if (has_prefix(s, "$2a$") || has_prefix(s, "$2b$") || has_prefix(s, "$2y$")) {
        f.kind = Kind::bcrypt;
        read_bcrypt(s + 4, &f);
    } else if (has_prefix(s, "$y$") || has_prefix(s, "$gy$")) {
        f.kind = Kind::yescrypt;
        read_yescrypt(s + (s[1] == 'y' ? 3 : 4), &f);
    } else if (has_prefix(s, "$7$")) {
        f.kind = Kind::scrypt;
        read_scrypt(s + 3, &f);
    } else if (has_prefix(s, "$argon2id$")) {
        f.kind = Kind::argon2id;
        read_argon2(s + 10, &f);
    } else if (has_prefix(s, "$argon2i$") || has_prefix(s, "$argon2d$")) {
        f.kind = s[7] == 'i' ? Kind::argon2i : Kind::argon2d;
        read_argon2(s + 9, &f);
    } else if (s[0] == '_' || has_prefix(s, "$md5") || has_prefix(s, "$sha1$")) {
        // crypt's other schemes whose fields choose their own round count.
        f.kind = Kind::unbounded;
    }
    return f;
}

bool within_bounds(const Field &f) {
    if (!f.readable) return false;
    switch (f.kind) {
        case Kind::sha256:
        case Kind::sha512:
            return f.work <= kShaRoundsMax;
        case Kind::bcrypt:
            return f.work <= kBcryptCostMax;
        case Kind::yescrypt:
        case Kind::scrypt:
            return f.work <= kScryptWorkMax;
        case Kind::argon2id:
        case Kind::argon2i:
        case Kind::argon2d:
            return f.m <= kArgonMemMax && f.work <= kArgonWorkMax && f.p >= 1 &&
                   f.p <= kArgonLanesMax;
        case Kind::unbounded:
            return false;
        default:
            return true;
    }
}

bool same_bytes(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// "{SSHA}", "{SSHA256}", "{SSHA512}" in any case: Base64 of the digest of
// password and salt, then the salt.
bool ldap_ssha_match(const char *stored, const char *pass) {
    struct Form {
        const char *prefix;
        const EVP_MD *(*md)();
    };
    static const Form kForms[] = {
        {"{ssha}", EVP_sha1}, {"{ssha256}", EVP_sha256}, {"{ssha512}", EVP_sha512}};
    for (const Form &form : kForms) {
        size_t plen = strlen(form.prefix);
        if (strncasecmp(stored, form.prefix, plen) != 0) continue;
        const EVP_MD *md = form.md();
        auto dlen = static_cast<size_t>(EVP_MD_get_size(md));
        unsigned char raw[EVP_MAX_MD_SIZE + kLdapSaltMax + 3];
        int n = lutil_b64_pton(stored + plen, raw, sizeof raw);
        if (n < 0 || static_cast<size_t>(n) < dlen + kLdapSaltMin) return false;
        size_t salt = static_cast<size_t>(n) - dlen;
        if (salt > kLdapSaltMax) return false;
        std::string msg(pass);
        msg.append(reinterpret_cast<const char *>(raw + dlen), salt);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int got = 0;
        if (!EVP_Digest(msg.data(), msg.size(), digest, &got, md, nullptr) || got != dlen)
            return false;
        return CRYPTO_memcmp(digest, raw, dlen) == 0;
    }
    return false;
}

bool argon2_match(const char *stored, const char *pass, Kind kind) {
    argon2_type type = kind == Kind::argon2id ? Argon2_id : Argon2_i;
    // libargon2 compares the digests in constant time itself.
    return argon2_verify(stored, pass, strlen(pass), type) == ARGON2_OK;
}

// The scheme set writes, with its cost, and a field made with it at
// configure time: outdated compares stored fields against that one.
enum class Scheme { ssha, sha512, bcrypt, yescrypt, argon2id };
struct Config {
    Scheme scheme = Scheme::ssha;
    unsigned long cost = 0;  // rounds for sha512-crypt, cost for bcrypt and yescrypt
    unsigned long t = 0, m = 0, p = 0;
    Field made;
};
Config conf;

struct SchemeName {
    const char *name;
    Scheme scheme;
    const char *prefix;  // crypt's salt prefix; null for the others
    unsigned long cost, least, most;
};
const SchemeName kSchemes[] = {
    {"ssha", Scheme::ssha, nullptr, 0, 0, 0},
    {"sha512-crypt", Scheme::sha512, "$6$", 5000, 1000, kShaRoundsMax},
    {"bcrypt", Scheme::bcrypt, "$2b$", 11, 4, kBcryptCostMax},
    {"yescrypt", Scheme::yescrypt, "$y$", 5, 1, kYescryptCostMax},
    {"argon2id", Scheme::argon2id, nullptr, 0, 0, 0},
};

bool make_crypt(const Config &c, const char *pass, std::string *field, std::string *why) {
    const char *prefix = c.scheme == Scheme::sha512   ? "$6$"
                         : c.scheme == Scheme::bcrypt ? "$2b$"
                                                      : "$y$";
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // No entropy passed: crypt draws the salt from the system's random source.
    if (!crypt_gensalt_rn(prefix, c.cost, nullptr, 0, setting, sizeof setting)) {
        *why = std::string("crypt cannot make a salt for ") + prefix + ": " + strerror(errno);
        return false;
    }
    auto data = std::make_unique<crypt_data>();
    const char *out = crypt_rn(pass, setting, data.get(), sizeof *data);
    if (!out || out[0] != '$') {
        *why = std::string("crypt cannot hash with ") + setting;
        return false;
    }
    *field = out;
    return true;
}

bool make_argon2(const Config &c, const char *pass, std::string *field, std::string *why) {
    unsigned char salt[kArgonSalt];
    if (RAND_bytes(salt, sizeof salt) != 1) {
        *why = "no random bytes for an argon2 salt";
        return false;
    }
    auto t = static_cast<uint32_t>(c.t), m = static_cast<uint32_t>(c.m),
         p = static_cast<uint32_t>(c.p);
    std::string out(argon2_encodedlen(t, m, p, kArgonSalt, kArgonHash, Argon2_id), '\0');
    int rc = argon2id_hash_encoded(t, m, p, pass, strlen(pass), salt, sizeof salt, kArgonHash,
                                   out.data(), out.size());
    if (rc != ARGON2_OK) {
        *why = std::string("argon2id: ") + argon2_error_message(rc);
        return false;
    }
    out.resize(strlen(out.c_str()));
    *field = out;
    return true;
}

bool make_with(const Config &c, const char *pass, std::string *field, std::string *why) {
    switch (c.scheme) {
        case Scheme::ssha:
            return pass_hash_make_ssha(pass, field, why);
        case Scheme::argon2id:
            return make_argon2(c, pass, field, why);
        default:
            return make_crypt(c, pass, field, why);
    }
}

// "name=number" within [least, most] into *out; the reason when not.
bool read_setting(const std::string &word, const char *name, unsigned long least,
                  unsigned long most, unsigned long *out, std::string *why) {
    const char *p = word.c_str() + strlen(name) + 1;
    if (!read_number(&p, out) || *p) {
        *why = word + " is no number";
        return false;
    }
    if (*out < least || *out > most) {
        *why = std::string(name) + " must be from " + std::to_string(least) + " to " +
               std::to_string(most) + ", not " + std::to_string(*out);
        return false;
    }
    return true;
}

// The words after the scheme's name: its cost settings.
bool read_costs(const SchemeName &s, const char *rest, Config *c, std::string *why) {
    c->cost = s.cost;
    // Argon2id's defaults cost about as much here as yescrypt's (doc/passwords.md).
    c->t = 2, c->m = 19456, c->p = 1;
    const char *p = rest;
    while (*p) {
        p += strspn(p, " ");
        size_t n = strcspn(p, " ");
        if (n == 0) break;
        std::string word(p, n);
        p += n;
        std::string key = word.substr(0, word.find('='));
        bool ok;
        if (word.find('=') == std::string::npos) {
            *why = "\"" + word + "\" is no setting of the form name=number";
            return false;
        } else if (s.scheme == Scheme::sha512 && key == "rounds") {
            ok = read_setting(word, "rounds", s.least, s.most, &c->cost, why);
        } else if ((s.scheme == Scheme::bcrypt || s.scheme == Scheme::yescrypt) && key == "cost") {
            ok = read_setting(word, "cost", s.least, s.most, &c->cost, why);
        } else if (s.scheme == Scheme::argon2id && key == "t") {
            ok = read_setting(word, "t", 1, kArgonWorkMax / 8, &c->t, why);
        } else if (s.scheme == Scheme::argon2id && key == "m") {
            ok = read_setting(word, "m", 8, kArgonMemMax, &c->m, why);
        } else if (s.scheme == Scheme::argon2id && key == "p") {
            ok = read_setting(word, "p", 1, kArgonLanesMax, &c->p, why);
        } else {
            *why = s.name + std::string(" has no setting ") + key;
            return false;
        }
        if (!ok) return false;
    }
    if (s.scheme == Scheme::argon2id) {
        if (c->m < 8 * c->p) {
            *why = "m must be at least 8 KiB per lane (p)";
            return false;
        }
        if (c->t * c->m > kArgonWorkMax) {
            *why = "t times m must be at most " + std::to_string(kArgonWorkMax) + ", not " +
                   std::to_string(c->t * c->m);
            return false;
        }
    }
    return true;
}
}  // namespace

bool pass_hash_configure(std::string *why) {
    return pass_hash_configure_from(ini_get(INI_PASSWORD_SCHEME), why);
}

bool pass_hash_configure_from(const char *setting, std::string *why) {
    std::string_view v(setting);
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    size_t n = v.find(' ');
    // No name: the engine's own {ssha}.
    std::string name = v.empty() ? "ssha" : std::string(v.substr(0, n));
    std::string rest(n == std::string_view::npos ? "" : v.substr(n));
    for (const SchemeName &s : kSchemes) {
        if (name != s.name) continue;
        Config c;
        c.scheme = s.scheme;
        std::string reason;
        if (!read_costs(s, rest.c_str(), &c, &reason)) {
            *why = "password_scheme " + std::string(setting) + ": " + reason;
            return false;
        }
        // Making one field now finds a scheme this system's crypt cannot do
        // before the first set does.
        std::string field;
        if (!make_with(c, "probe", &field, &reason)) {
            *why = "password_scheme " + std::string(setting) +
                   ": this system cannot make such fields (" + reason + ")";
            return false;
        }
        c.made = read_field(field.c_str());
        conf = c;
        return true;
    }
    *why = "password_scheme " + std::string(setting) +
           ": no such scheme; give ssha, sha512-crypt, bcrypt, yescrypt or argon2id";
    return false;
}

PassCheck pass_hash_verify(const char *stored, const char *pass) {
    PassCheck r{false, "", false};
    // The bound is read from the field's text before anything is hashed.
    Field f = read_field(stored);
    if (!within_bounds(f)) {
        r.over_bound = true;
        return r;
    }
    if (f.kind == Kind::argon2id || f.kind == Kind::argon2i) {
        r.match = argon2_match(stored, pass, f.kind);
        return r;
    }
    // argon2d leaves traces of the password in its memory access pattern:
    // such fields are not accepted.
    if (f.kind == Kind::argon2d) return r;
    // crypt(3) answers a salt it cannot use with null or a failure text, never
    // with the stored field, so every form can be tried in the same order.
    auto data = std::make_unique<crypt_data>();
    const char *c = crypt_r(pass, stored, data.get());
    ncpy(r.crypted, c ? c : "", sizeof r.crypted - 1);
    if (same_bytes(r.crypted, stored)) {
        r.match = true;
        return r;
    }
    if (strlen(stored) > kSshaPrefix) {
        char digest[kDigestBuf];
        r.match = raw_create_ssha(pass, digest, kDigestBuf, stored + kSshaPrefix) &&
                  same_bytes(digest, stored + kSshaPrefix);
    }
    if (!r.match && stored[0] == '{') r.match = ldap_ssha_match(stored, pass);
    return r;
}

bool pass_hash_make(const char *pass, std::string *field, std::string *why) {
    return make_with(conf, pass, field, why);
}

bool pass_hash_make_ssha(const char *pass, std::string *field, std::string *why) {
    char digest[kDigestBuf];
    if (!create_ssha_base64_digest(pass, digest, kDigestBuf)) {
        *why = get_sha_error();
        return false;
    }
    *field = std::string("{ssha}") + digest;
    return true;
}

bool pass_hash_costly(const char *stored) {
    // Every crypt(3) scheme but the old DES one repeats its hash on purpose,
    // and so does argon2.
    return stored[0] == '$';
}

bool pass_make_costly() {
    return conf.scheme != Scheme::ssha;
}

bool pass_hash_outdated(const char *stored) {
    if (conf.scheme == Scheme::ssha) return false;
    Field f = read_field(stored);
    if (f.kind != conf.made.kind || !f.readable) return true;
    // Same family, older variant: GOST yescrypt, and bcrypt's $2a$ with its
    // mishandling of 8-bit passwords.
    if (has_prefix(stored, "$gy$") || has_prefix(stored, "$2a$")) return true;
    if (f.kind == Kind::argon2id) return f.t < conf.made.t || f.m < conf.made.m;
    return f.work < conf.made.work;
}
