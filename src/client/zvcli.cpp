// zorvex: command line, connection settings, and the checks on commands and
// replies that every mode shares.
#include "client/zvcli.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "client/client.h"
#include "lib/lib.h"
#include "lib/xlate.h"

namespace {

constexpr const char *kDefaultConf = "/etc/zorvexsvr.conf";
constexpr const char *kDefaultSecret = "/etc/xlate.dat";

// A whole decimal number within [lo, hi]; strtol alone would take "10x".
bool parse_int(const std::string &s, int lo, int hi, int *v) {
    if (s.empty() || s.size() > 9) return false;
    for (char ch : s)
        if (ch < '0' || ch > '9') return false;
    long n = strtol(s.c_str(), nullptr, 10);
    if (n < lo || n > hi) return false;
    *v = static_cast<int>(n);
    return true;
}

// The TLS files mean nothing without -tls, and a key nothing without its
// certificate: a forgotten -tls must not send passwords in the clear.
int tls_files_ok(const ZvcliOptions &o, std::string *err) {
    const TlsClientOptions &f = o.tls_files;
    if (!o.tls && (!f.cafile.empty() || !f.cert.empty() || !f.key.empty())) {
        *err = "-cafile, -cert and -key need -tls";
        return 0;
    }
    if (!f.key.empty() && f.cert.empty()) {
        *err = "-key needs -cert";
        return 0;
    }
    return 1;
}

bool is_sep(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

}  // namespace

const char *zvcli_version() {
    return "1.1e";
}

const char *zvcli_usage() {
    return "Usage: zorvex [options] COMMAND [ARGUMENTS...]   send one command\n"
           "       zorvex [options] [-]                      commands from standard input\n"
           "       zorvex [options] -checkpassword PROG [ARGS...]\n"
           "\n"
           "Options:\n"
           "  -host HOST      server host (default 127.0.0.1)\n"
           "  -port PORT      server port (default: port of the configuration file, else 601)\n"
           "  -secret FILE    shared-secret file (default: secret_file of the configuration\n"
           "                  file, else /etc/xlate.dat)\n"
           "  -conf FILE      server configuration file (default /etc/zorvexsvr.conf)\n"
           "  -nocheck        leave out the secret's check value (by default it is sent, so\n"
           "                  that a wrong secret fails at once)\n"
           "  -check          send the check value (the default)\n"
           "  -y              run testcrypt without asking first\n"
           "  -raw            print whole reply lines, with their request identifiers\n"
           "  -timeout SECS   wait at most SECS seconds for the server (default 10)\n"
           "  -window N       requests in flight at once in batch mode (1-256, default 128)\n"
           "  -tls            connect with TLS (default port: tls_port of the configuration\n"
           "                  file); the server's certificate must name HOST\n"
           "  -cafile FILE    CA certificates that sign the server's (default: the system's)\n"
           "  -cert FILE      client certificate, PEM, for a server that asks for one\n"
           "  -key FILE       its private key (default: in the -cert file)\n"
           "  -h              this text\n"
           "  -version        the version\n"
           "\n"
           "Commands (one per line in batch mode; empty lines and lines starting with #\n"
           "are skipped):\n"
           "  check USER PASSWORD          verify a password\n"
           "  lookup USER                  show what is stored about a user\n"
           "  search PATTERN [-from N] [-max N]\n"
           "  set USER PASSWORD|(NULL) [var=\"val\" ...]   add or replace a user\n"
           "  mod USER (NULL) var=\"val\"    add or change one value\n"
           "  del USER                     delete a user\n"
           "  version, help, testcrypt\n"
           "  exit, quit                   end the session (later lines are not read)\n"
           "Quote var=\"val\" pairs for the shell: zorvex set bob pw 'quota=\"10\"'\n"
           "\n"
           "Exit status: 0 when every request got +OK, 1 when one was refused (-ERR, +ERR,\n"
           "-DEAD), 2 on usage, connection, handshake or time-out errors.\n"
           "\n"
           "-checkpassword reads user\\0password\\0timestamp\\0 from descriptor 3, asks the\n"
           "server to check it and on success runs PROG with USER (and HOME from a\n"
           "home=\"...\" value) set; exit 1 for a wrong password, 2 for misuse, 111 when\n"
           "the server cannot be asked.\n";
}

int zvcli_parse_args(const std::vector<std::string> &args, ZvcliOptions *o, std::string *err) {
    size_t i = 0;
    auto value = [&](const std::string &opt, std::string *v) {
        if (i + 1 >= args.size()) {
            *err = "option " + opt + " needs a value";
            return false;
        }
        *v = args[++i];
        return true;
    };
    for (; i < args.size(); i++) {
        const std::string &a = args[i];
        std::string v;
        if (a == "-") {
            if (i + 1 != args.size()) {
                *err = "nothing may follow - (commands come from standard input)";
                return 0;
            }
            o->mode = ZVCLI_BATCH;
            return 1;
        }
        if (a == "--") {
            i++;
            break;
        }
        if (a.empty() || a[0] != '-') break;
        if (a == "-h" || a == "-help" || a == "--help") {
            o->mode = ZVCLI_HELP;
            return 1;
        }
        if (a == "-version" || a == "--version") {
            o->mode = ZVCLI_VERSION;
            return 1;
        }
        if (a == "-check" || a == "-nocheck") {
            o->check = a == "-check";
        } else if (a == "-y") {
            o->yes = true;
        } else if (a == "-raw") {
            o->raw = true;
        } else if (a == "-tls") {
            o->tls = true;
        } else if (a == "-cafile" || a == "-cert" || a == "-key") {
            if (!value(a, &v)) return 0;
            if (v.empty()) {
                *err = a + " needs a file name";
                return 0;
            }
            TlsClientOptions &f = o->tls_files;
            (a == "-cafile" ? f.cafile : a == "-cert" ? f.cert : f.key) = v;
        } else if (a == "-host") {
            if (!value(a, &v)) return 0;
            if (v.empty()) {
                *err = "-host needs a host name";
                return 0;
            }
            o->host = v;
        } else if (a == "-port") {
            if (!value(a, &v)) return 0;
            if (!parse_int(v, 1, 65535, &o->port)) {
                *err = "-port needs a number from 1 to 65535, not \"" + v + "\"";
                return 0;
            }
        } else if (a == "-timeout") {
            if (!value(a, &v)) return 0;
            if (!parse_int(v, 1, 86400, &o->timeout_s)) {
                *err = "-timeout needs a number of seconds from 1 to 86400, not \"" + v + "\"";
                return 0;
            }
        } else if (a == "-window") {
            if (!value(a, &v)) return 0;
            if (!parse_int(v, 1, ZVCLI_MAX_WINDOW, &o->window)) {
                *err = "-window needs a number from 1 to " + std::to_string(ZVCLI_MAX_WINDOW) +
                       ", not \"" + v + "\"";
                return 0;
            }
        } else if (a == "-secret" || a == "-conf") {
            if (!value(a, &v)) return 0;
            if (v.empty()) {
                *err = a + " needs a file name";
                return 0;
            }
            (a == "-secret" ? o->secret_file : o->conf) = v;
        } else if (a == "-checkpassword") {
            if (i + 1 >= args.size()) {
                *err = "-checkpassword needs the program to run";
                return 0;
            }
            o->mode = ZVCLI_CHECKPASSWORD;
            o->args.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            return tls_files_ok(*o, err);
        } else {
            *err = "unknown option " + a;
            return 0;
        }
    }
    o->args.assign(args.begin() + static_cast<long>(i), args.end());
    o->mode = o->args.empty() ? ZVCLI_BATCH : ZVCLI_COMMAND;
    return tls_files_ok(*o, err);
}

int zvcli_conf_read(const std::string &path, ZvcliConf *conf, std::string *err) {
    FilePtr f(fopen(path.c_str(), "r"));
    if (!f) {
        *err = path + ": " + strerror(errno);
        return 0;
    }
    bool have_port = false, have_secret = false, have_tls_port = false;
    // Same rules as the server's loader: pieces of at most 998 characters,
    // key up to the first blank, value after that one separator (tabs and
    // line ends skipped, spaces kept) up to a tab or line end.
    char line[999];
    while (fgets(line, sizeof line, f.get())) {
        const char *p = line;
        while (*p && is_sep(*p)) p++;
        const char *k = p;
        while (*p && !is_sep(*p)) p++;
        std::string key(k, static_cast<size_t>(p - k));
        if (key.empty()) continue;
        if (*p) p++;
        while (*p == '\t' || *p == '\r' || *p == '\n') p++;
        const char *e = p;
        while (*e && *e != '\t' && *e != '\r' && *e != '\n') e++;
        std::string val(p, static_cast<size_t>(e - p));
        if (key == "port" && !have_port) {
            have_port = true;
            conf->port = atoi(val.c_str());
        } else if (key == "tls_port" && !have_tls_port) {
            have_tls_port = true;
            conf->tls_port = atoi(val.c_str());
        } else if (key == "secret_file" && !have_secret) {
            have_secret = true;
            conf->secret_file = val;
        }
    }
    return 1;
}

int zvcli_settings(ZvcliOptions *o, std::string *err) {
    if (o->port > 0 && !o->secret_file.empty()) return 1;
    ZvcliConf conf;
    std::string cerr;
    if (!zvcli_conf_read(o->conf.empty() ? kDefaultConf : o->conf, &conf, &cerr)) {
        // Only a file named on the command line must exist; without the
        // default one the defaults hold.
        if (!o->conf.empty()) {
            *err = "cannot read the configuration file " + cerr;
            return 0;
        }
    }
    if (o->port <= 0 && o->tls) {
        if (conf.tls_port <= 0 || conf.tls_port > 65535) {
            *err = "-tls needs -port, or tls_port in the configuration file";
            return 0;
        }
        o->port = conf.tls_port;
    }
    if (o->port <= 0)
        o->port = conf.port > 0 && conf.port <= 65535 ? conf.port : ZVCLI_DEFAULT_PORT;
    if (o->secret_file.empty())
        o->secret_file = conf.secret_file.empty() ? kDefaultSecret : conf.secret_file;
    return 1;
}

int zvcli_load_secret(const std::string &path, std::string *secret, std::string *err) {
    {
        FilePtr f(fopen(path.c_str(), "r"));
        if (!f) {
            *err = "cannot read the secret file " + path + ": " + strerror(errno);
            return 0;
        }
    }
    *secret = xlate_secret(path.c_str(), 0);
    if (secret->empty()) {
        *err = "the secret file " + path + " holds no secret (its first line is empty)";
        return 0;
    }
    return 1;
}

int zvcli_secret(const ZvcliOptions &o, std::string *secret, std::string *err) {
    if (zvcli_load_secret(o.secret_file, secret, err)) return 1;
    if (access(o.secret_file.c_str(), F_OK) == 0 || errno != ENOENT) return 0;
    // A server creates its secret file at the first handshake it is asked
    // for; on its own host one clear handshake makes the file appear.
    ZvClient c;
    if (!zvcli_connect(o, &c)) return 0;
    std::string line;
    if (!cli_send(&c, 0, "encrypt zv") || cli_read_line(&c, &line, o.timeout_s * 1000) != 1)
        return 0;
    return zvcli_load_secret(o.secret_file, secret, err);
}

int zvcli_connect(const ZvcliOptions &o, ZvClient *c) {
    int ms = o.timeout_s * 1000;
    if (!cli_connect(c, o.host.c_str(), o.port, ms)) return 0;
    return o.tls ? cli_tls(c, o.host, o.tls_files, ms) : 1;
}

ZvcliReply zvcli_classify(std::string_view text) {
    if (text.starts_with("+OK")) return ZVCLI_REPLY_OK;
    if (text.starts_with("-ERR") || text.starts_with("+ERR") || text.starts_with("-DEAD"))
        return ZVCLI_REPLY_REFUSED;
    return ZVCLI_REPLY_DATA;
}

bool zvcli_reply_start_ok(std::string_view partial) {
    size_t n = 0;
    if (!partial.empty() && partial[0] == '-') n = 1;
    size_t digits = 0;
    for (; n < partial.size(); n++) {
        char ch = partial[n];
        if (ch == ' ') return digits > 0;
        if (ch < '0' || ch > '9' || ++digits > 10) return false;
    }
    return true;  // too short to tell yet
}

std::string zvcli_command_word(std::string_view cmd) {
    size_t b = 0;
    while (b < cmd.size() && (cmd[b] == ' ' || cmd[b] == '\r' || cmd[b] == '\n')) b++;
    size_t e = b;
    while (e < cmd.size() && cmd[e] != ' ' && cmd[e] != '\r' && cmd[e] != '\n') e++;
    std::string w(cmd.substr(b, e - b));
    for (char &ch : w)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return w;
}

std::string zvcli_command_problem(std::string_view cmd, int id) {
    for (char ch : cmd) {
        if (ch == '\0') return "a command cannot hold a NUL byte";
        if (ch == '\r' || ch == '\n') return "a command cannot hold a line break";
    }
    size_t len = std::to_string(id).size() + 1 + cmd.size();
    if (len > ZVCLI_MAX_LINE)
        return "command too long (" + std::to_string(cmd.size()) +
               " characters; the server reads " +
               std::to_string(ZVCLI_MAX_LINE - std::to_string(id).size() - 1) + ")";
    if (zvcli_command_word(cmd) == "encrypt") return "encryption is done by zorvex itself";
    return "";
}

std::string zvcli_args_problem(const std::vector<std::string> &args) {
    if (args.empty()) return "";
    std::string word = zvcli_command_word(args[0]);
    // How many words after the command word are a user name and a password.
    size_t n = word == "check" || word == "set"                     ? 2
               : word == "lookup" || word == "del" || word == "mod" ? 1
                                                                    : 0;
    for (size_t i = 1; i <= n && i < args.size(); i++) {
        const char *what = i == 1 ? "user name" : "password";
        const std::string &a = args[i];
        if (a.empty()) return std::string("the ") + what + " is empty";
        for (char ch : a) {
            unsigned char u = static_cast<unsigned char>(ch);
            if (u == ' ' || u < 0x20 || u == 0x7f)
                return std::string("the ") + what + " holds " +
                       (u == ' ' ? "a space" : "a control character") +
                       ", which the line protocol cannot carry: the server would take it as "
                       "something else, so it is not sent";
        }
    }
    return "";
}
