#include "core/ini.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "lib/lib.h"

const char *const ini_names[] = {"workarea",
                                 "config",
                                 "logdir",
                                 "debug",
                                 "secret_file",
                                 "authent_process",
                                 "authent_number",
                                 "port",
                                 "kvauth_path",
                                 "loop",
                                 "listen_address",
                                 "allow",
                                 "max_connections",
                                 "password_scheme",
                                 "rehash",
                                 "hash_threads",
                                 "log_secrets",
                                 "log",
                                 "log_requests",
                                 "brake_failures",
                                 "brake_window",
                                 "brake_max_delay",
                                 "brake_entries",
                                 "tls_port",
                                 "tls_cert",
                                 "tls_key",
                                 "tls_client_ca",
                                 "metrics_listen",
                                 ""};

namespace {
std::optional<std::string> i_val[INI_NKEYS];
int i_true[INI_NKEYS];
char xini_file[1000];

const char *workarea() {
    return ini_get(INI_WORKAREA);
}

bool is_word_end(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void ini_line(char *line) {
    char *p = line;
    while (*p && is_word_end(*p)) p++;
    if (!*p) return;
    char *key = p;
    while (*p && !is_word_end(*p)) p++;
    if (*p) *p++ = 0;  // the one separator after the key is consumed
    // Tabs and line ends before the value are skipped; spaces are not.
    while (*p == '\t' || *p == '\r' || *p == '\n') p++;
    char *val = p;
    while (*p && *p != '\t' && *p != '\r' && *p != '\n') p++;
    *p = 0;
    for (int i = 0; ini_names[i][0]; i++) {
        if (strcmp(key, ini_names[i]) != 0) continue;
        if (i_val[i])
            lib_imsg("Symbol defined twice %s\n", key);
        else
            i_val[i] = val;
        return;
    }
}
}  // namespace

void ini_bind() {
    // The support library names work-area files but lies below this module.
    lib_set_workarea(workarea);
}

void ini_file_set(const char *path) {
    ncpy(xini_file, path, 999);
}

const char *ini_file() {
    return xini_file[0] ? xini_file : "/etc/zorvexsvr.conf";
}

void ini_free() {
    for (auto &v : i_val) v.reset();
}

void ini_load() {
    ini_free();
    FilePtr f(fopen(ini_file(), "r"));
    if (!f) {
        printf("Couldn't find %s %s\n", ini_file(), strerror(errno));
        return;
    }
    char buf[999];
    while (fgets(buf, sizeof buf, f.get())) ini_line(buf);
    for (int i = 0; i < INI_NKEYS; i++) i_true[i] = (i_val[i] && *i_val[i] == "true") ? 1 : 0;
}

const char *ini_get(int key) {
    if (key < 0 || key >= INI_NKEYS || !i_val[key]) return "";
    return i_val[key]->c_str();
}

int ini_true(int key) {
    if (key < 0 || key >= INI_NKEYS) return 0;
    return i_true[key];
}
