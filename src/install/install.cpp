#include "install/install.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "core/emsg.h"
#include "lib/lib.h"

namespace {

constexpr const char *kEtcDir = "/etc";
constexpr const char *kBinDir = "/usr/local/bin";
constexpr const char *kVexmoDir = "/usr/local/vexmo";

// The installed tree holds no documentation of its own, so both addresses
// name the README that ships with the distribution.
constexpr const char *kManualAddress = "README.md in the zorvexsvr distribution";
constexpr const char *kConfigAddress =
    "README.md in the zorvexsvr distribution, section Configuration";

// Installation directory (programs, scripts) and data directory (log, work
// area); the same place, kept apart because the configuration names the latter.
char sroot[1000] = "/usr/local/vexmo";
char dest[1000] = "/usr/local/vexmo";

char file_buf[1000];
char binfile_buf[1000];
char exe_file_buf[1000];

constexpr int kCopyPiece = 1000;
constexpr unsigned kBusyWaitSeconds = 8;

// "<dir>/<name>" into a path buffer of 1000 bytes, cut to fit.
const char *join_path(char (&buf)[1000], const char *dir, const char *name) {
    std::string path = std::string(dir) + "/" + name;
    return ncpy(buf, path.c_str(), sizeof buf - 1);
}

// perror with a message that carries a path, such as "Cannot write to (%s) ".
void perror_path(const char *fmt, const char *path) {
    char msg[1100];
    snprintf(msg, sizeof msg, fmt, path);
    perror(msg);
}

}  // namespace

const char *install_file(const char *name) {
    return join_path(file_buf, kEtcDir, name);
}

const char *install_binfile(const char *name) {
    return join_path(binfile_buf, kBinDir, name);
}

const char *install_exe_file(const char *name) {
    return join_path(exe_file_buf, sroot, name);
}

void get_dest() {
    ncpy(sroot, kVexmoDir, sizeof sroot - 1);
    ncpy(dest, kVexmoDir, sizeof dest - 1);
    // A fresh system has no /usr/local/vexmo; without it every later step
    // would fail, so make it here (the parent /usr/local is assumed).
    if (mkdir(sroot, 0755) != 0 && errno != EEXIST) perror(sroot);
}

int prompt(const char *dflt, char *rslt, const char *hint) {
    printf("%s [%s]?", hint, dflt);
    fflush(stdout);
    char line[100];
    if (!fgets(line, sizeof line, stdin)) return 0;
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[--n] = 0;
    if (n > 0 && line[n - 1] == '\r') line[--n] = 0;
    ncpy(rslt, n == 0 ? dflt : line, 99);
    imsg("%s = %s\n", hint, rslt);
    return 1;
}

void do_copy(const char *src, const char *xdst) {
    const char *slash = strrchr(src, '/');
    std::string target = std::string(xdst) + "/" + (slash ? slash + 1 : src);

    FilePtr in(fopen(src, "rb"));
    if (!in) {
        perror(src);
        return;
    }
    FilePtr out(fopen(target.c_str(), "wb"));
    if (!out && errno == ETXTBSY) {
        // The target is the installed program and is running; give it time
        // to stop before the one retry.
        lib_sleep(kBusyWaitSeconds);
        out.reset(fopen(target.c_str(), "wb"));
    }
    if (!out) {
        perror_path("Cannot write to (%s) ", target.c_str());
        return;
    }

    char buf[kCopyPiece];
    for (;;) {
        size_t n = fread(buf, 1, sizeof buf, in.get());
        if (n == 0) break;
        if (fwrite(buf, 1, n, out.get()) != n) perror(target.c_str());
    }
    in.reset();
    if (fclose(out.release()) != 0)
        perror_path("Could not close destination file (%s) ", target.c_str());
}

void install_exe() {
    do_copy("zorvexsvr", sroot);
    do_copy("zorvex", sroot);
    // A copy that failed was reported above; its chmod failing adds nothing.
    chmod(install_exe_file("zorvexsvr"), 0700);
    chmod(install_exe_file("zorvex"), 0700);
}

void install_ini() {
    const char *path = install_file("zorvexsvr.conf");
    FilePtr f(fopen(path, "w"));
    if (!f) {
        perror(path);
        return;
    }
    FILE *o = f.get();
    fprintf(o, "# Welcome to Zorvex Configuration File.\n");
    fprintf(o, "# Leading # makes line a comment\n");
    fprintf(o, "# Save this file to /etc/zorvexsvr.conf \n");
    fprintf(o, "# Manual page is at, %s\n", kManualAddress);
    fprintf(o, "# %s\n\n", std::string(85, '-').c_str());
    fprintf(o, "logdir %s\n", dest);
    fprintf(o, "workarea %s\n", dest);
    fprintf(o, "debug false\n");
    fprintf(o, "\n");
    fprintf(o, "# Other options you may want to specify\n");
    fprintf(o, "# %s\n", std::string(37, '-').c_str());
    fprintf(o, "# kvauth_database d:\\vexmo\n");
    fprintf(o, "# authent_process /usr/local/vexmo/kvauth\n");
    fprintf(o, "# authent_number 3\n");
}

void install_startup() {
    std::string start = std::string(sroot) + "/zorvexsvr_start.sh";
    FilePtr f(fopen(start.c_str(), "w"));
    if (!f) {
        perror(start.c_str());
        return;
    }
    fprintf(f.get(), "#!/bin/sh\ncd %s\nulimit -c 20000\n./zorvexsvr\n", sroot);
    f.reset();
    chmod(start.c_str(), 0700);

    std::string stop = std::string(sroot) + "/zorvexsvr_stop.sh";
    f.reset(fopen(stop.c_str(), "w"));
    if (!f) {
        perror(stop.c_str());
        return;
    }
    fprintf(f.get(), "#!/bin/sh\ncd %s\ntouch zorvexsvr.exit\n", sroot);
    f.reset();
    chmod(stop.c_str(), 0700);
}

int install_new() {
    printf("ZORVEX - New Installation\n\n");
    get_dest();
    install_ini();
    install_exe();
    install_startup();
    printf("NOTE!! - Add %s/zorvexsvr_start.sh to your startup scripts, e.g. typically rc.local\n",
           sroot);
    printf("Then start it manually by running that script, see zorvexsvr.log\n");
    printf("See this page for configuration instructions:\n    %s\n", kConfigAddress);
    return 1;
}

int install_upgrade() {
    printf("Upgrading Zorvex\n");
    get_dest();
    install_exe();
    printf("Upgrade completed!\n");
    return 1;
}

int install_do() {
    int ok = lib_exists(install_file("zorvexsvr.conf")) ? install_upgrade() : install_new();
    fputs(ok ? "\nSuccess - press enter to exit\n" : "\nFailed - press enter to exit\n", stdout);
    fflush(stdout);
    char line[999];
    if (!fgets(line, sizeof line, stdin)) {
        // End of input is as good as the enter key.
    }
    return 1;
}

int install_uninstall() {
    char answer[100];
    ncpy(answer, "no", 99);
    // End of input leaves the default "no" in place.
    prompt("no", answer, "Are you sure you want to uninstall zorvex");
    if (answer[0] != 'y') return 1;
    lib_msleep(5000);
    remove(install_binfile("zorvexsvr"));
    remove(install_file("zorvexsvr.conf"));
    printf("ZORVEX has been uninstalled\n");
    fflush(stdout);
    return 1;
}
