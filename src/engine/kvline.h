// The database line "user:pass:info\n", the one text format of kvauth.txt,
// the add file, the backup and the change log (doc/database.md): its reader,
// its writer, its length limit, its separators and the bytes it refuses.
// What kvline_check accepts is exactly what kvline_parse reads back whole.
// Used by set, mod, del, the rebuild, the index's build and replay, and
// pgauth's import and export. No state.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <sys/types.h>

// The longest line, line end not counted, that is read back as one record.
constexpr size_t KVLINE_MAX = 998;

// One line as read: views into the text given to kvline_parse.
struct KvLine {
    const char *user;
    size_t user_len;
    const char *pass;
    size_t pass_len;
    const char *info;
    size_t info_len;
};

// Splits one line of a database file: n bytes, its line feed included when
// it has one. 1 when it holds a record. 0 when it adds nothing: *fault is
// null for a line without a name or a password field, else it says why the
// line is left out whole ("too long", "unreadable").
int kvline_parse(const char *line, size_t n, KvLine *out, const char **fault);

enum KvField { KVLINE_USER, KVLINE_PASS, KVLINE_INFO };
// 1 when s can be field f of a line and be read back whole (length aside).
int kvline_field_ok(KvField f, const char *s);

// Why the line of these fields would not read back as written, first fault
// in this order, or KVLINE_OK.
enum KvFault { KVLINE_OK, KVLINE_BAD_USER, KVLINE_BAD_PASS, KVLINE_BAD_INFO, KVLINE_TOO_LONG };
KvFault kvline_check(const char *user, const char *pass, const char *info);

// The line of three fields of the given lengths: kvline_put writes its
// kvline_size(...) bytes at dst and returns the end; kvline_format makes a
// string of it. Neither checks: the writers check before they acknowledge.
size_t kvline_size(size_t user_len, size_t pass_len, size_t info_len);
char *kvline_put(char *dst, const char *user, size_t user_len, const char *pass, size_t pass_len,
                 const char *info, size_t info_len);
std::string kvline_format(const char *user, const char *pass, const char *info);

// Reads a file line by line whatever their length, so that a long line is
// left out whole instead of being split into made-up records.
class KvLineBuf {
   public:
    KvLineBuf() = default;
    KvLineBuf(const KvLineBuf &) = delete;
    KvLineBuf &operator=(const KvLineBuf &) = delete;
    ~KvLineBuf();
    // The next line's length (line feed included), or -1 at the end or on error.
    ssize_t read(FILE *f);
    const char *text() const { return p_; }

   private:
    char *p_ = nullptr;
    size_t cap_ = 0;
};
