#include "pgauth/pgauth.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "authproc/authloop.h"
#include "authproc/pipeframe.h"
#include "pgauth/pgconf.h"
#include "pgauth/pgdb.h"
#include "core/ini.h"
#include "engine/userstore.h"
#include "pgauth/pgxfer.h"

namespace {
constexpr const char *kDefaultConf = "/etc/zorvexsvr.conf";

int usage() {
    fputs("Usage: pgauth [-conf FILE] [-import FILE ...] [-export]\n", stderr);
    return 1;
}

// The pool starts its processes without standard error: a descriptor that
// the connection took in its place would receive every stray message.
void fill_standard_fds() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        int n = open("/dev/null", O_RDWR);
        if (n >= 0 && n != fd) {
            dup2(n, fd);
            close(n);
        }
    }
}
}  // namespace

int pgauth_main(int argc, char **argv) {
    fill_standard_fds();
    const char *conf = kDefaultConf;
    std::vector<const char *> imports;
    bool do_export = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-conf") == 0 && i + 1 < argc) {
            conf = argv[++i];
        } else if (strcmp(argv[i], "-import") == 0 && i + 1 < argc) {
            while (i + 1 < argc && argv[i + 1][0] != '-') imports.push_back(argv[++i]);
        } else if (strcmp(argv[i], "-export") == 0) {
            do_export = true;
        } else {
            return usage();
        }
    }
    PgSettings settings;
    std::string err;
    bool have_conf = access(conf, F_OK) == 0;
    // Without a configuration file libpq's defaults apply (local socket, peer).
    if (have_conf && !pgconf_load(conf, &settings, &err) && (do_export || !imports.empty())) {
        fprintf(stderr, "pgauth: %s\n", err.c_str());
        return 1;
    }
    pgdb_configure(settings);
    if (have_conf) {
        ini_file_set(conf);
        std::string unused_path;
        if (!authloop_settings(&unused_path, &err)) {
            fprintf(stderr, "pgauth: %s\n", err.c_str());
            return 1;
        }
    }
    if (imports.empty() && !do_export) {
        frame_serve(stdin, stdout);
        store().close();
        return 0;
    }
    for (const char *path : imports) {
        long n = pgauth_import(path, &err);
        if (n < 0) {
            fprintf(stderr, "pgauth: import of %s failed: %s\n", path, err.c_str());
            return 1;
        }
        fprintf(stderr, "pgauth: %ld lines of %s imported\n", n, path);
    }
    if (do_export && pgauth_export(stdout, &err) < 0) {
        fprintf(stderr, "pgauth: export failed: %s\n", err.c_str());
        return 1;
    }
    pgdb_close();
    return 0;
}
