#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/kvauth.h"

// Interim interpreter: until the engine lands every command is unknown.
namespace {
void (*kvauth_print)(char *);
}

int do_command(char *line) {
    char cmd[1000] = "nocommand";
    while (*line == ' ' || *line == '\r' || *line == '\n') line++;
    size_t n = strcspn(line, " \r\n");
    if (n > 0) {
        if (n > 999) n = 999;
        memcpy(cmd, line, n);
        cmd[n] = 0;
    }
    for (char *p = cmd; *p; p++)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    buf_print("-ERR Invalid command (%s) use help\n", cmd);
    return 1;
}

int buf_print(const char *fmt, ...) {
    char bf[4000];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(bf, sizeof bf, fmt, ap);
    va_end(ap);
    if (kvauth_print) kvauth_print(bf);
    return static_cast<int>(strlen(bf));
}

int buf_clear() { return 1; }
void kvauth_setprint(void (*pr)(char *)) { kvauth_print = pr; }
int auth_init() { return 1; }
int kvauth_set_path(const char *) { return 1; }
