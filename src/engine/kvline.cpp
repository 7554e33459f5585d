#include "engine/kvline.h"

#include <cstdlib>
#include <cstring>

namespace {
// Bytes that end the name and the password field; runs of them count as one.
bool is_sep(char c) {
    return c == ':' || c == ' ' || c == '\t';
}

// Bytes no field may hold: NUL and line ends would cut the line, and the
// other control bytes (tab aside) and DEL are what a line is refused for
// when read, so a hand-edited or damaged line never becomes a record.
bool refused(char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    return (c < 32 && c != '\t') || c == 127;
}
}  // namespace

int kvline_parse(const char *line, size_t n, KvLine *out, const char **fault) {
    *fault = nullptr;
    size_t len = n;
    if (len && line[len - 1] == '\n') {
        len--;
        // A CR LF line end, as a file edited on another system has.
        if (len && line[len - 1] == '\r') len--;
    }
    if (len > KVLINE_MAX) {
        *fault = "too long";
        return 0;
    }
    for (size_t i = 0; i < len; i++)
        if (refused(line[i])) {
            *fault = "unreadable";
            return 0;
        }
    const char *p = line, *end = line + len;
    while (p < end && is_sep(*p)) p++;
    if (p == end) return 0;
    out->user = p;
    while (p < end && !is_sep(*p)) p++;
    out->user_len = static_cast<size_t>(p - out->user);
    while (p < end && is_sep(*p)) p++;
    if (p == end) return 0;
    out->pass = p;
    while (p < end && !is_sep(*p)) p++;
    out->pass_len = static_cast<size_t>(p - out->pass);
    if (p < end) p++;  // only the one separator that ended the password
    out->info = p;
    out->info_len = static_cast<size_t>(end - p);
    return 1;
}

int kvline_field_ok(KvField f, const char *s) {
    bool token = f != KVLINE_INFO;
    if (token && !*s) return 0;
    for (; *s; s++)
        if (refused(*s) || (token && is_sep(*s))) return 0;
    return 1;
}

KvFault kvline_check(const char *user, const char *pass, const char *info) {
    if (!kvline_field_ok(KVLINE_USER, user)) return KVLINE_BAD_USER;
    if (!kvline_field_ok(KVLINE_PASS, pass)) return KVLINE_BAD_PASS;
    if (!kvline_field_ok(KVLINE_INFO, info)) return KVLINE_BAD_INFO;
    if (strlen(user) + strlen(pass) + strlen(info) + 2 > KVLINE_MAX) return KVLINE_TOO_LONG;
    return KVLINE_OK;
}

size_t kvline_size(size_t user_len, size_t pass_len, size_t info_len) {
    return user_len + pass_len + info_len + 3;
}

char *kvline_put(char *dst, const char *user, size_t user_len, const char *pass, size_t pass_len,
                 const char *info, size_t info_len) {
    memcpy(dst, user, user_len);
    dst += user_len;
    *dst++ = ':';
    memcpy(dst, pass, pass_len);
    dst += pass_len;
    *dst++ = ':';
    memcpy(dst, info, info_len);
    dst += info_len;
    *dst++ = '\n';
    return dst;
}

std::string kvline_format(const char *user, const char *pass, const char *info) {
    size_t lu = strlen(user), lp = strlen(pass), li = strlen(info);
    std::string line(kvline_size(lu, lp, li), '\0');
    kvline_put(line.data(), user, lu, pass, lp, info, li);
    return line;
}

KvLineBuf::~KvLineBuf() {
    free(p_);
}

ssize_t KvLineBuf::read(FILE *f) {
    return getline(&p_, &cap_, f);
}
