// Test support: temporary directories, free loopback ports, and a real
// zorvexsvr daemon started in a temporary directory and stopped through its
// exit file (then by its pid), with enciphered clients connected to it.
#pragma once

#include <string>
#include <vector>

#include "client/client.h"

// A fresh directory under /tmp, removed with everything in it when dropped.
class TempDir {
   public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

   private:
    std::string path_;
};

int free_port();
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
// Path of a program built by this build tree (zorvexsvr, kvauth, zorvex).
std::string program_path(const std::string &name);

// The password vectors of tests/data/hashes: whether the password verifies
// (not for argon2d nor for the fields of bounds.txt).
struct HashVector {
    std::string file, pass, field;
    bool verifies;
};
std::vector<HashVector> hash_vectors();
// Those with a one-word password as kvauth.txt lines of users u0, u1, ...,
// check requests with the right and a wrong password, and their replies.
struct VectorUsers {
    std::string txt, input, want;
};
VectorUsers vector_users();

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;  // standard output
    std::string err;  // standard error
    std::string fd4;  // descriptor 4, when run with RunFds
};
// For programs run as a mail server runs a checkpassword program: fd3 is
// written to descriptor 3, descriptor 4 is collected into RunResult::fd4,
// and env (when set) replaces the environment.
struct RunFds {
    std::string fd3;
    const std::vector<std::string> *env = nullptr;
};
// Runs a program to completion with the given arguments, input and working
// directory (empty: current one); kills it after timeout_s seconds.
RunResult run_program(const std::vector<std::string> &argv, const std::string &input = "",
                      const std::string &cwd = "", int timeout_s = 60, const RunFds *fds = nullptr);

// Reads replies on every connection until want of them have come or
// timeout_s seconds have passed; expect[c][id] is the text expected for
// request id on connection c. The number of right replies, or -1 when a
// connection is lost.
int collect_replies(std::vector<ZvClient> &conns,
                    const std::vector<std::vector<std::string>> &expect, int want, int timeout_s);

// A daemon in its own directory: <dir>/zorvexsvr.conf, work area and log
// directory <dir>, secret file <dir>/xlate.dat, engine directory <dir>/db;
// its serving loop is the one ZORVEX_TEST_LOOP names (none: the classic one).
class TestServer {
   public:
    TestServer();
    ~TestServer();
    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

    // Lines added to the generated configuration, after the standard ones.
    std::vector<std::string> extra_conf;
    bool debug = false;
    // Address that start() and connect() reach the daemon at.
    std::string host = "127.0.0.1";
    // Command that the daemon's command line is appended to (for example
    // unshare for a private mount). Empty: the daemon is run directly, or
    // under valgrind when ZORVEX_VALGRIND names a directory for its logs.
    std::vector<std::string> launcher;
    // Arguments after "-conf <file>" on the daemon's command line.
    std::vector<std::string> args;
    // Writes the configuration (unless write_conf is false) and starts the
    // daemon; true once it runs, has written its pid file and accepts.
    bool start(bool write_conf = true);
    // Creates the exit file and waits for the process to end; kills it by
    // pid after the time-out. True when it ended through the exit file.
    bool stop(int timeout_ms = 5000);
    // SIGKILL by pid and wait until it is gone.
    void kill_hard();
    bool alive() const;

    const std::string &dir() const { return tmp_.path(); }
    std::string file(const std::string &name) const { return tmp_.file(name); }
    std::string conf_path() const { return file("zorvexsvr.conf"); }
    std::string db_dir() const { return file("db"); }
    int port() const { return port_; }
    int pid() const { return pid_; }
    std::string log() const { return read_file(file("zorvexsvr.log")); }
    std::string secret() const;
    // What the start-up printed on standard output before detaching.
    const std::string &startup_output() const { return startup_out_; }

    // Connects a client; with encrypt, completes the handshake too.
    bool connect(ZvClient *c, bool encrypt = true, bool check = false);
    // Sends one command on an enciphered client and collects reply lines with
    // the identifier until one starts with "+OK" or "-ERR" (or time-out).
    std::vector<std::string> request(ZvClient *c, int id, const std::string &cmd,
                                     int timeout_ms = 5000);
    // Waits until the log holds the text; true when it does.
    bool wait_log(const std::string &text, int timeout_ms = 5000) const;

   private:
    TempDir tmp_;
    int port_;
    int pid_ = -1;
    std::string startup_out_;
};
