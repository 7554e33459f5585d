// Shared set-up of the fuzz targets: one scratch directory per fuzzing
// process, a configuration that points every file of the server into it, and
// the engine reset to an empty or given database between inputs.
#pragma once

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/ini.h"
#include "engine/flock.h"
#include "engine/kvcmd.h"
#include "engine/kvprint.h"
#include "engine/kvfilename.h"
#include "engine/kvindex.h"
#include "engine/userstore.h"
#include "engine/ld_sha.h"

namespace fuzz {

// The scratch directory, made on first use under $TMPDIR (else /tmp) and
// kept for the process's life: libFuzzer ends with exit(), so nothing would
// remove it reliably; scripts/fuzz.sh points TMPDIR into its build tree.
inline const std::string &scratch() {
    static const std::string dir = [] {
        const char *tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/zvfuzz.XXXXXX";
        if (!mkdtemp(tmpl.data())) abort();
        return tmpl;
    }();
    return dir;
}

inline std::string path(const char *name) {
    return scratch() + "/" + name;
}

inline void put_file(const std::string &p, std::string_view text) {
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) abort();
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = write(fd, text.data() + off, text.size() - off);
        if (n <= 0) abort();
        off += static_cast<size_t>(n);
    }
    close(fd);
}

// Loads a configuration whose secret file and engine directory are in the
// scratch directory. The log stays closed: log lines are formatted but not
// written, so a long run does not fill the disk.
inline void load_config(const std::string &extra = "") {
    std::string conf = "secret_file " + path("xlate.dat") + "\nkvauth_path " + scratch() + "\n";
    conf += extra;
    put_file(path("zorvexsvr.conf"), conf);
    ini_file_set(path("zorvexsvr.conf").c_str());
    ini_load();
}

// Forgets the index and lays down a fresh database: kvauth.txt with the
// given text and no add file, change log or backup.
inline void reset_engine(std::string_view txt, std::string_view add = {}) {
    store().close();
    kvfilename_reset_for_test();
    sha_reset_for_test();
    kvauth_set_path(scratch().c_str());
    for (const char *f : {"kvauth.add", "kvauth.add_old", "kvauth.tmp", "kvauth.bck", "kvauth.clg"})
        unlink(path(f).c_str());
    put_file(path("kvauth.txt"), txt);
    if (!add.empty()) put_file(path("kvauth.add"), add);
    buf_clear();
}

// Engine commands that are meant to take long (a thousand digests, a
// two-minute sleep for tests) are kept out of inputs that reach the engine.
inline bool has_slow_command(const uint8_t *data, size_t size) {
    static const char *const words[] = {"testcrypt", "test_sleep"};
    for (const char *w : words) {
        size_t n = strlen(w);
        for (size_t i = 0; i + n <= size; i++)
            if (strncasecmp(reinterpret_cast<const char *>(data) + i, w, n) == 0) return true;
    }
    return false;
}

// A small database the command targets start from: clear text, {ssha} and
// crypt passwords, a blocked user.
inline const char *seed_database() {
    return "alice:*secret:quota=\"10\"\n"
           "bob:{ssha}0O2Q1GYuTOXzeBP6CsPr7V0mLC9YrFMl:info\n"
           "carol:ab01FAX.bQRSU:\n"
           "dave@example.com:*pw:blocked=\"1\" mailbox=\"x\"\n";
}

}  // namespace fuzz
