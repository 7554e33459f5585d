#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/kvauth.h"

// Interim interpreter: until the engine lands every command is unknown.
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

