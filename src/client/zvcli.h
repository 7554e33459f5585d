// zorvex, the command-line client: its options, exit statuses, connection
// settings (configuration file and shared secret), and the classification of
// reply lines. Used by the client's run and checkpassword modules, by
// programs/zorvex.cpp and by the tests. No state; one thread.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "client/tlsclient.h"

struct ZvClient;

enum ZvcliMode { ZVCLI_BATCH, ZVCLI_COMMAND, ZVCLI_CHECKPASSWORD, ZVCLI_HELP, ZVCLI_VERSION };

// Exit statuses of the command and batch modes.
constexpr int ZVCLI_EXIT_OK = 0;       // every request answered "+OK"
constexpr int ZVCLI_EXIT_REFUSED = 1;  // some request refused
constexpr int ZVCLI_EXIT_FAIL = 2;     // usage, connection, handshake or time-out
// Exit statuses of the checkpassword interface (success execs the program).
constexpr int ZVCLI_CP_BAD = 1;     // wrong password or unknown user
constexpr int ZVCLI_CP_MISUSE = 2;  // no program, or descriptor 3 unreadable
constexpr int ZVCLI_CP_TEMP = 111;  // server unreachable or failing

constexpr int ZVCLI_DEFAULT_PORT = 601;
constexpr int ZVCLI_MAX_WINDOW = 256;
// The server passes on at most this many characters of a request line,
// identifier included; a longer line would be cut, so it is refused here.
constexpr size_t ZVCLI_MAX_LINE = 990;
// Bytes read from descriptor 3 in the checkpassword interface.
constexpr size_t ZVCLI_CP_INPUT = 512;

struct ZvcliOptions {
    ZvcliMode mode = ZVCLI_BATCH;
    std::string host = "127.0.0.1";
    int port = 0;             // 0: the configuration file's, else 601
    std::string secret_file;  // empty: the configuration file's, else /etc/xlate.dat
    std::string conf;         // empty: /etc/zorvexsvr.conf, which may be missing
    bool check = true;        // send the secret's check value in the handshake
    bool yes = false;         // testcrypt without asking first
    bool raw = false;         // print whole reply lines, identifiers included
    int timeout_s = 10;
    int window = 128;               // requests in flight on the connection
    bool tls = false;               // speak TLS (to the tls_port of the configuration file)
    TlsClientOptions tls_files;     // -cafile, -cert, -key
    std::vector<std::string> args;  // command words, or PROG and its arguments
};

// Reads the command line (argv[0] excluded). 1 on success; 0 with *err set.
int zvcli_parse_args(const std::vector<std::string> &args, ZvcliOptions *o, std::string *err);
const char *zvcli_usage();
const char *zvcli_version();

// The two keys the client needs from the server's configuration file, read
// with the server's rules for that file (first definition wins).
struct ZvcliConf {
    int port = 0;
    int tls_port = 0;
    std::string secret_file;
};
// 1 when the file was read; 0 with *err set when it could not be opened.
int zvcli_conf_read(const std::string &path, ZvcliConf *conf, std::string *err);
// Fills in o->port and o->secret_file from the configuration file and the
// defaults, where the command line left them open. 1, or 0 with *err.
int zvcli_settings(ZvcliOptions *o, std::string *err);
// Connects c to the server o names, over TLS with -tls; 1, or 0 with
// c->error set.
int zvcli_connect(const ZvcliOptions &o, ZvClient *c);
// The secret line of the shared-secret file, exactly as the server reads it.
int zvcli_load_secret(const std::string &path, std::string *secret, std::string *err);
// The secret for connecting with o. When the secret file does not exist yet,
// one clear handshake lets a server on this host create it, then it is read.
int zvcli_secret(const ZvcliOptions &o, std::string *secret, std::string *err);

// How a reply text (the part after the identifier) bears on its request.
enum ZvcliReply { ZVCLI_REPLY_DATA, ZVCLI_REPLY_OK, ZVCLI_REPLY_REFUSED };
ZvcliReply zvcli_classify(std::string_view text);
// False when the start of a reply line (possibly incomplete) cannot be the
// start of "<identifier> <text>": the sign of a different shared secret.
bool zvcli_reply_start_ok(std::string_view partial);

// The command word of a command, lowercased as the server compares it.
std::string zvcli_command_word(std::string_view cmd);
// Why a command cannot be sent with identifier id as it is; "" when it can.
std::string zvcli_command_problem(std::string_view cmd, int id);
// Why the words of a command given on the command line cannot be sent: a
// user name or password that the server would split or cut (a blank, a
// control character, nothing at all); "" when they can.
std::string zvcli_args_problem(const std::vector<std::string> &args);
