#include "pgauth/pgconf.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/ini.h"
#include "lib/lib.h"

namespace {
bool is_word_end(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int seconds(const std::string &v, int fallback) {
    int n = atoi(v.c_str());
    return n > 0 && n <= 3600 ? n : fallback;
}

// The password file holds the password on its first line.
int read_password(const std::string &path, std::string *out, std::string *err) {
    FilePtr f(fopen(path.c_str(), "r"));
    if (!f) {
        *err = path + ": " + strerror(errno);
        return 0;
    }
    char buf[1000];
    if (!fgets(buf, sizeof buf, f.get())) buf[0] = 0;
    out->assign(buf, strcspn(buf, "\r\n"));
    return 1;
}
}  // namespace

void pgconf_line(const char *line, std::string *key, std::string *value) {
    const char *p = line;
    while (*p && is_word_end(*p)) p++;
    const char *k = p;
    while (*p && !is_word_end(*p)) p++;
    key->assign(k, static_cast<size_t>(p - k));
    if (*p) p++;  // the one separator after the key
    while (*p == '\t' || *p == '\r' || *p == '\n') p++;
    value->assign(p, strcspn(p, "\t\r\n"));
}

int pgconf_load(const char *path, PgSettings *out, std::string *err) {
    FilePtr f(fopen(path, "r"));
    if (!f) {
        *err = std::string(path) + ": " + strerror(errno);
        return 0;
    }
    std::string password_file;
    char buf[999];
    std::string key, value;
    while (fgets(buf, sizeof buf, f.get())) {
        pgconf_line(buf, &key, &value);
        if (key == "pg_host")
            out->host = value;
        else if (key == "pg_port")
            out->port = value;
        else if (key == "pg_database")
            out->database = value;
        else if (key == "pg_user")
            out->user = value;
        else if (key == "pg_target_session_attrs")
            out->target = value;
        else if (key == "pg_password_file")
            password_file = value;
        else if (key == "pg_connect_timeout")
            out->connect_timeout = seconds(value, 5);
        else if (key == "pg_statement_timeout")
            out->statement_timeout = seconds(value, 10);
    }
    if (!password_file.empty()) return read_password(password_file, &out->password, err);
    return 1;
}
