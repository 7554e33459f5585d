#include "authproc/authloop.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "authproc/pipeframe.h"
#include "core/ini.h"
#include "engine/kvfilename.h"
#include "engine/kvrehash.h"
#include "engine/userstore.h"

namespace {
// Why the server's password keys, read with kvauth_path, cannot be used;
// empty when they can (set stores what the server's own engine would).
std::string refusal;

int usage() {
    fputs("Usage: kvauth [-path DIR] [-conf FILE]\n", stderr);
    return 1;
}
}  // namespace

bool authloop_settings(std::string *path, std::string *why) {
    ini_load();
    bool usable = rehash_configure(why);
    if (!usable && why->empty()) *why = "password_scheme refused";
    *path = ini_get(INI_KVAUTH_PATH);
    // Forget the server's other settings: with its debug on, every log line
    // of the engine would be echoed on standard output, the reply pipe.
    ini_file_set("/dev/null");
    ini_load();
    return usable;
}

int authloop_set_dir(const char *dir, const char *conf) {
    if (dir && *dir) return kvauth_set_path(dir);
    if (conf && *conf) ini_file_set(conf);
    // ini_load reports a missing file on standard output, our reply pipe.
    FILE *probe = fopen(ini_file(), "r");
    if (!probe) return 0;
    fclose(probe);
    std::string path;
    authloop_settings(&path, &refusal);
    if (path.empty()) return 0;
    return kvauth_set_path(path.c_str());
}

int authloop_serve(FILE *in, FILE *out) {
    int served = frame_serve(in, out);
    store().close();
    return served;
}

int kvauth_main(int argc, char **argv) {
    const char *dir = nullptr;
    const char *conf = nullptr;
    for (int i = 1; i < argc; i++) {
        bool has_value = i + 1 < argc;
        if (strcmp(argv[i], "-path") == 0 && has_value) {
            dir = argv[++i];
        } else if (strcmp(argv[i], "-conf") == 0 && has_value) {
            conf = argv[++i];
        } else {
            return usage();
        }
    }
    authloop_set_dir(dir, conf);
    if (!refusal.empty()) {
        fprintf(stderr, "kvauth: %s\n", refusal.c_str());
        return 1;
    }
    authloop_serve(stdin, stdout);
    return 0;
}
