#include "engine/kvfilename.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "lib/lib.h"

namespace {
char arg_path[201];
char path[1000];
char config_result[1000];
std::string vexmo_override;

char *lower(char *s) {
    for (char *p = s; *p; p++)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    return s;
}
}  // namespace

const char *file_vexmo() {
    return vexmo_override.empty() ? "/etc/vexmo.conf" : vexmo_override.c_str();
}

const char *file_config(const char *fname) {
    if (arg_path[0]) ncpy(path, arg_path, 200);
    if (!path[0]) {
        FilePtr f(fopen(file_vexmo(), "r"));
        if (!f) return fname;
        char line[999];
        while (fgets(line, sizeof line, f.get())) {
            char *save = nullptr;
            char *key = strtok_r(line, " \t\r\n", &save);
            char *val = key ? strtok_r(nullptr, " \t\r\n", &save) : nullptr;
            if (!val) continue;
            if (strcmp(lower(key), "halvo_path") == 0) ncpy(path, val, 999);
        }
    }
    snprintf(config_result, sizeof config_result, "%.100s/%.100s", path, fname);
    return config_result;
}

int kvauth_set_path(const char *s) {
    ncpy(arg_path, s, 200);
    return 1;
}

void file_vexmo_set_for_test(const char *p) {
    vexmo_override = p ? p : "";
}

void kvfilename_reset_for_test() {
    arg_path[0] = 0;
    path[0] = 0;
    vexmo_override.clear();
}
