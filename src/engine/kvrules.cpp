#include "engine/kvrules.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cstring>
#include <string_view>

#include "core/emsg.h"
#include "engine/kvline.h"
#include "engine/passhash.h"
#include "lib/lib.h"

namespace {
constexpr int kField = 999;
constexpr const char *kBadChars = ":|\"";
constexpr const char *kLocalBadChars = ",:|;[]()<>\"/\\";
constexpr size_t kMaxUser = 255;
constexpr int kBlockCut = 900;

constexpr const char *kTooLong = "-ERR Could not add user. Username longer than 255 characters.\n";
constexpr const char *kBadUser = "-ERR Could not add user. Illegal characters in username.\n";
constexpr const char *kBadPass = "-ERR Could not add user. Illegal characters in password.\n";
constexpr const char *kBadInfo = "-ERR Could not add user. Illegal characters in information.\n";
constexpr const char *kLineTooLong = "-ERR Line too long\n";

// A clear password against the stored one: their SHA-256 digests compared,
// so that neither the matching prefix nor the stored length shows in the
// time.
bool same_clear(const char *given, const char *stored) {
    unsigned char a[SHA256_DIGEST_LENGTH];
    unsigned char b[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(given), strlen(given), a);
    SHA256(reinterpret_cast<const unsigned char *>(stored), strlen(stored), b);
    return CRYPTO_memcmp(a, b, sizeof a) == 0;
}
}  // namespace

const char *set_refusal(const char *user, const char *pass) {
    if (strlen(user) > kMaxUser) return kTooLong;
    if (username_badchar(user) || !kvline_field_ok(KVLINE_USER, user)) return kBadUser;
    // A clear password is stored after its "*" as it is: it must read back
    // as the same password field.
    if (*pass == '*' && !kvline_field_ok(KVLINE_PASS, pass)) return kBadPass;
    return nullptr;
}

const char *line_refusal(const char *user, const char *pass, const char *info) {
    switch (kvline_check(user, pass, info)) {
        case KVLINE_OK:
            return nullptr;
        case KVLINE_BAD_USER:
            return kBadUser;
        case KVLINE_BAD_PASS:
            return kBadPass;
        case KVLINE_BAD_INFO:
            return kBadInfo;
        case KVLINE_TOO_LONG:
            break;
    }
    return kLineTooLong;
}

int pass_decide(const char *user, const char *name, const char *stored, const char *info,
                const char *pass) {
    size_t slen = strlen(stored);
    if (slen < 2) {
        emsg("ERROR: User (%s) has an encrypted password less than 2 chars long!", name);
        return 0;
    }
    if (stored[0] == '*') {
        if (same_clear(pass, stored + 1)) return 1;
        imsg("Clear text password wrong for user(%s), pass(%s)!=(%s)\n", user, log_secret(pass),
             log_secret(stored + 1));
        return 0;
    }
    if (strstr(info, "(BLOCK)")) return 0;
    return -1;
}

int pass_conclude(const char *user, const char *stored, const PassCheck &r) {
    if (r.match) return 1;
    if (r.over_bound)
        emsg("Password field of user(%s) asks for more work than this server does: refused\n",
             user);
    imsg("Password wrong for user(%s), pass(%s)!=(%s)\n", user, log_secret(r.crypted),
         log_secret(stored));
    return 0;
}

int pass_verify(const char *user, const char *name, const char *stored, const char *info,
                const char *pass) {
    int d = pass_decide(user, name, stored, info, pass);
    if (d >= 0) return d;
    return pass_conclude(user, stored, pass_hash_verify(stored, pass));
}

std::string mod_info(const char *info, const char *addinfo) {
    char add[1000];
    ncpy(add, addinfo, kField);
    char key[1000];
    ncpy(key, add, kField);
    if (char *eq = strchr(key, '=')) eq[1] = 0;
    // An empty key would match at the start and drop the first pair.
    const char *at = *key ? strstr(info, key) : nullptr;
    std::string out;
    if (!at) {
        out.assign(info, strnlen(info, kField));
        out += ' ';
        out += add;
    } else {
        out = add;
        out += ' ';
        out.append(info, static_cast<size_t>(at - info));
        if (out.back() != ' ') out += ' ';
        const char *q1 = strchr(at, '"');
        const char *q2 = q1 ? strchr(q1 + 1, '"') : nullptr;
        if (q2) {
            const char *rest = q2 + 1;
            while (*rest == ' ') rest++;
            out += rest;
        }
    }
    if (out.size() > static_cast<size_t>(kField)) out.resize(kField);
    return out;
}

bool info_block(const char *info, std::string *out) {
    if (strstr(info, "(BLOCK)")) return false;
    out->assign(info, strnlen(info, kBlockCut));
    *out += " (BLOCK)";
    return true;
}

bool info_unblock(const char *info, std::string *out) {
    if (!strstr(info, "(BLOCK)")) return false;
    out->assign(info, strnlen(info, kBlockCut));
    size_t b = out->find("(BLOCK)");
    if (b != std::string::npos) out->resize(b);
    return true;
}

int username_badchar(const char *user) {
    char name[1000];
    ncpy(name, user, kField);
    imsg("username check for bad chars (%s) and high or low ascii\n", kBadChars);
    if (strpbrk(name, kBadChars)) {
        emsg("ERROR: Username contains bad characters from (%s)\n", kBadChars);
        return 1;
    }
    for (const char *p = name; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 32 || c > 126) {
            emsg("ERROR: Username contains invalid high or low ascii characters\n");
            return 1;
        }
    }
    if (char *at = strchr(name, '@')) {
        *at = 0;
        if (strchr(at + 1, '@')) {
            emsg("ERROR: Username contains more than one '@' character\n");
            return 1;
        }
    }
    imsg("Username localpart check for bad chars (%s)\n", kLocalBadChars);
    if (strpbrk(name, kLocalBadChars)) {
        emsg("ERROR: Username localpart contains bad characters from (%s)\n", kLocalBadChars);
        return 1;
    }
    return 0;
}
