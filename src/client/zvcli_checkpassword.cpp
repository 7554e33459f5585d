// zorvex -checkpassword: the checkpassword interface of mail servers on top
// of the server's check command. Nothing is written to standard output, which
// the mail server may have given us as its client's connection.
#include <arpa/inet.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "client/client.h"
#include "client/zvcli_checkpassword.h"

namespace {

// Where a relative PROG is looked for when the environment has no PATH, as
// it has none when a mail server clears it.
constexpr const char *kDefaultPath = "/usr/local/bin:/usr/bin:/bin";

void cp_fail(const std::string &msg) {
    fprintf(stderr, "zorvex: checkpassword: %s\n", msg.c_str());
}

// Reads descriptor 3 to its end, keeping at most the first 512 bytes.
int read_fd3(std::string *data) {
    char buf[ZVCLI_CP_INPUT];
    size_t have = 0;
    for (;;) {
        char scratch[512];
        bool full = have == sizeof buf;
        ssize_t n =
            full ? read(3, scratch, sizeof scratch) : read(3, buf + have, sizeof buf - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 0;
        if (n == 0) break;
        if (!full) have += static_cast<size_t>(n);
    }
    data->assign(buf, have);
    return 1;
}

// The server splits a command at blanks and line ends: a name or password
// holding one would be checked as something else.
bool sendable(const std::string &s) {
    return s.find_first_of(" \r\n") == std::string::npos;
}

// Whether an accepted check reply "+OK <user> ..." names the user asked about
// (names are case-blind). Another name means a reply meant for another
// request, from an authenticator out of step: nobody may log in on it.
bool names_user(std::string_view text, const std::string &user) {
    if (!text.starts_with("+OK ")) return false;
    std::string_view name = text.substr(4);
    name = name.substr(0, name.find(' '));
    return name.size() == user.size() && strncasecmp(name.data(), user.data(), name.size()) == 0;
}

// Asks the server. 0 accepted (with *info), 1 refused, 111 no answer.
}  // namespace

std::string zvcli_check_line(const std::string &user, const std::string &pass,
                             const std::string &remote) {
    std::string line = "check " + user + " " + pass;
    unsigned char probe[16];
    if (inet_pton(AF_INET, remote.c_str(), probe) == 1 ||
        inet_pton(AF_INET6, remote.c_str(), probe) == 1)
        line += " from=" + remote;
    return line;
}

namespace {
int ask_server(ZvcliOptions *o, const std::string &user, const std::string &pass,
               std::string *info) {
    std::string msg, secret;
    if (!zvcli_settings(o, &msg) || !zvcli_secret(*o, &secret, &msg)) {
        cp_fail(msg);
        return ZVCLI_CP_TEMP;
    }
    ZvClient c;
    int ms = o->timeout_s * 1000;
    std::string where = o->host + ":" + std::to_string(o->port);
    if (!zvcli_connect(*o, &c)) {
        cp_fail("cannot connect to " + where + ": " + c.error);
        return ZVCLI_CP_TEMP;
    }
    if (!cli_encrypt(&c, secret, o->check, ms)) {
        cp_fail("handshake with " + where + " failed: " + c.error);
        return ZVCLI_CP_TEMP;
    }
    const char *remote = getenv("TCPREMOTEIP");
    if (!cli_send(&c, 1, zvcli_check_line(user, pass, remote ? remote : ""))) {
        cp_fail("sending to " + where + ": " + c.error);
        return ZVCLI_CP_TEMP;
    }
    std::string line;
    for (;;) {
        if (cli_read_line(&c, &line, ms) != 1) {
            cp_fail("no answer from " + where + ": " + c.error);
            return ZVCLI_CP_TEMP;
        }
        int id = 0;
        std::string_view text;
        if (!zvcli_reply_start_ok(line) || !cli_split_reply(line, &id, &text)) {
            cp_fail("the server's reply cannot be read: the shared secret differs");
            return ZVCLI_CP_TEMP;
        }
        if (id != 1) continue;
        switch (zvcli_classify(text)) {
            case ZVCLI_REPLY_OK:
                if (!names_user(text, user)) {
                    cp_fail("the server accepted another user: " + std::string(text));
                    return ZVCLI_CP_TEMP;
                }
                *info = zvcli_check_info(text);
                return 0;
            case ZVCLI_REPLY_REFUSED:
                // The pool's own failure is the server's trouble, not the user's.
                if (text.starts_with("-ERR") && text != "-ERR External process failed")
                    return ZVCLI_CP_BAD;
                cp_fail(std::string(text));
                return ZVCLI_CP_TEMP;
            case ZVCLI_REPLY_DATA:
                break;
        }
    }
}

void exec_next(const ZvcliOptions &o) {
    std::vector<char *> argv;
    for (const std::string &a : o.args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const char *path = getenv("PATH");
    int first_err = 0;
    for (const std::string &cand : zvcli_exec_candidates(o.args[0], path ? path : "")) {
        execve(cand.c_str(), argv.data(), environ);
        // Like a shell: a later directory may still hold it.
        if (errno != ENOENT && errno != ENOTDIR && first_err == 0) first_err = errno;
    }
    cp_fail("cannot run " + o.args[0] + ": " + strerror(first_err ? first_err : ENOENT));
}

}  // namespace

bool zvcli_cp_parse(std::string_view data, std::string *user, std::string *pass,
                    std::string *stamp) {
    size_t a = data.find('\0');
    if (a == std::string_view::npos) return false;
    size_t b = data.find('\0', a + 1);
    if (b == std::string_view::npos) return false;
    *user = data.substr(0, a);
    *pass = data.substr(a + 1, b - a - 1);
    // The timestamp may be empty, or cut short by the 512-byte limit.
    size_t c = data.find('\0', b + 1);
    *stamp = data.substr(b + 1, c == std::string_view::npos ? std::string_view::npos : c - b - 1);
    return true;
}

bool zvcli_info_home(std::string_view info, std::string *home) {
    constexpr std::string_view key = "home=\"";
    for (size_t at = info.find(key); at != std::string_view::npos; at = info.find(key, at + 1)) {
        // home=" inside a longer name (such as xhome=") is not the home.
        if (at > 0 && info[at - 1] != ' ' && info[at - 1] != '\t') continue;
        size_t start = at + key.size();
        size_t end = info.find('"', start);
        if (end == std::string_view::npos) return false;
        *home = info.substr(start, end - start);
        return true;
    }
    return false;
}

std::string zvcli_check_info(std::string_view text) {
    // "+OK", the user, the drop path and 0, each ended by one space.
    size_t at = 0;
    for (int field = 0; field < 4; field++) {
        at = text.find(' ', at);
        if (at == std::string_view::npos) return "";
        at++;
    }
    return std::string(text.substr(at));
}

std::vector<std::string> zvcli_exec_candidates(const std::string &prog,
                                               const std::string &path_env) {
    if (prog.find('/') != std::string::npos) return {prog};
    std::string path = path_env.empty() ? kDefaultPath : path_env;
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? colon : colon - start);
        // An empty entry means the current directory, as in a shell.
        out.push_back((dir.empty() ? "." : dir) + "/" + prog);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return out;
}

int zvcli_checkpassword(ZvcliOptions o) {
    std::string data, user, pass, stamp;
    if (!read_fd3(&data)) {
        cp_fail(std::string("reading descriptor 3: ") + strerror(errno));
        return ZVCLI_CP_MISUSE;
    }
    close(3);
    if (!zvcli_cp_parse(data, &user, &pass, &stamp)) {
        cp_fail("descriptor 3 holds no user\\0password\\0");
        return ZVCLI_CP_MISUSE;
    }
    // An empty name or password is never accepted, whatever is stored.
    if (user.empty() || pass.empty() || !sendable(user) || !sendable(pass)) return ZVCLI_CP_BAD;

    void (*old_pipe)(int) = signal(SIGPIPE, SIG_IGN);
    std::string info;
    int r = ask_server(&o, user, pass, &info);
    if (r != 0) return r;
    // The next program must not inherit an ignored SIGPIPE.
    signal(SIGPIPE, old_pipe == SIG_ERR ? SIG_DFL : old_pipe);

    std::string home;
    if (setenv("USER", user.c_str(), 1) != 0) {
        cp_fail(std::string("setting USER: ") + strerror(errno));
        return ZVCLI_CP_TEMP;
    }
    // An inherited HOME belongs to the mail server, not to this user.
    int env_r = zvcli_info_home(info, &home) ? setenv("HOME", home.c_str(), 1) : unsetenv("HOME");
    if (env_r != 0) {
        cp_fail(std::string("setting HOME: ") + strerror(errno));
        return ZVCLI_CP_TEMP;
    }
    exec_next(o);
    return ZVCLI_CP_TEMP;
}
