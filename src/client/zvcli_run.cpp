// zorvex: one command or a batch of commands over one enciphered connection.
// Requests are pipelined up to a window so that the server's reply queue
// (it drops a reply that would overfill it) never holds more than the window's
// replies; replies are paired by identifier and printed in input order.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>

#include "client/client.h"
#include "client/zvcli_run.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Request {
    int id = 0;
    bool done = false;
    bool refused = false;
    std::string out;  // the reply lines as they are to be printed
};

struct Pending {
    std::string cmd;
    bool exit = false;  // exit or quit: ends the session once all else is answered
    long line_no = 0;   // input line, for messages
};

struct Run {
    ZvcliOptions o;
    FILE *out = nullptr;
    FILE *err = nullptr;
    ZvClient cli;
    std::deque<Pending> pending;  // read, not yet sent
    std::deque<Request> flight;   // sent, in input order; ids consecutive
    int next_id = 1;
    bool refused = false;
    // Input side.
    int in_fd = -1;
    bool in_eof = false;
    bool in_stop = false;  // an exit or quit line was read
    std::string in_part;   // an incomplete input line
    long line_no = 0;
};

constexpr const char *kTestcrypt =
    "testcrypt creates or resets the 1000 users test0 to test999 in the server's database";

void fail(Run *r, const std::string &msg) {
    fprintf(r->err, "zorvex: %s\n", msg.c_str());
}

int take_id(Run *r) {
    int id = r->next_id;
    r->next_id = r->next_id == 2147483647 ? 1 : r->next_id + 1;
    return id;
}

// One input line of the batch: skipped, refused here, or queued.
void add_line(Run *r, std::string line) {
    r->line_no++;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') return;
    std::string word = zvcli_command_word(line);
    if (word == "exit" || word == "quit") {
        r->pending.push_back({"exit", true, r->line_no});
        r->in_stop = true;
        return;
    }
    if (word == "testcrypt" && !r->o.yes) {
        fprintf(r->err, "zorvex: line %ld: %s; give -y to send it\n", r->line_no, kTestcrypt);
        r->refused = true;
        return;
    }
    r->pending.push_back({std::move(line), false, r->line_no});
}

// Asks on err and reads the answer from in_fd; true for an answer "y" or "yes".
bool confirmed(Run *r, const char *what) {
    fprintf(r->err, "zorvex: %s. Go on? [y/N] ", what);
    fflush(r->err);
    std::string ans;
    char ch;
    while (ans.size() < 16 && read(r->in_fd, &ch, 1) == 1 && ch != '\n') ans += ch;
    // A terminal has echoed the line end already; piped answers have not.
    if (!isatty(r->in_fd)) fputc('\n', r->err);
    return ans == "y" || ans == "Y" || ans == "yes";
}

// Reads what standard input holds now; -1 on a read error.
int read_input(Run *r) {
    char buf[65536];
    ssize_t n = read(r->in_fd, buf, sizeof buf);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) return 0;
        fail(r, std::string("reading standard input: ") + strerror(errno));
        return -1;
    }
    if (n == 0) {
        r->in_eof = true;
        if (!r->in_part.empty() && !r->in_stop) add_line(r, std::move(r->in_part));
        r->in_part.clear();
        return 0;
    }
    r->in_part.append(buf, static_cast<size_t>(n));
    size_t start = 0, nl;
    while (!r->in_stop && (nl = r->in_part.find('\n', start)) != std::string::npos) {
        add_line(r, r->in_part.substr(start, nl - start));
        start = nl + 1;
    }
    r->in_part.erase(0, r->in_stop ? r->in_part.size() : start);
    // A line this long is refused anyway; its head is enough to say so.
    if (r->in_part.size() > 65536) r->in_part.resize(65536);
    return 0;
}

// Sends what the window allows, all in one write. 0 when the write failed.
int send_pending(Run *r) {
    std::string bytes;
    while (!r->pending.empty() && r->flight.size() < static_cast<size_t>(r->o.window)) {
        // In pool mode exit would overtake requests still being served.
        if (r->pending.front().exit && !r->flight.empty()) break;
        // Checked here, where the identifier and so the line's length is known.
        std::string why = zvcli_command_problem(r->pending.front().cmd, r->next_id);
        if (!why.empty()) {
            fprintf(r->err, "zorvex: line %ld: %s\n", r->pending.front().line_no, why.c_str());
            r->refused = true;
            r->pending.pop_front();
            continue;
        }
        Request q;
        q.id = take_id(r);
        bytes += std::to_string(q.id) + " " + r->pending.front().cmd + "\n";
        r->pending.pop_front();
        r->flight.push_back(std::move(q));
    }
    if (bytes.empty()) return 1;
    if (!cli_send_raw(&r->cli, bytes)) {
        fail(r, "sending to the server: " + r->cli.error);
        return 0;
    }
    return 1;
}

// Files the complete reply lines received. 0 when they are not replies at all.
int take_replies(Run *r) {
    std::string line;
    while (cli_take_line(&r->cli, &line)) {
        int id = 0;
        std::string_view text;
        if (!zvcli_reply_start_ok(line) || !cli_split_reply(line, &id, &text)) return 0;
        if (r->flight.empty()) continue;
        // Identifiers in flight are consecutive; others (a stale or foreign
        // reply) are ignored. Unsigned difference: no overflow on wrap.
        unsigned idx = static_cast<unsigned>(id) - static_cast<unsigned>(r->flight.front().id);
        if (idx >= r->flight.size()) continue;
        Request &q = r->flight[idx];
        if (q.done) continue;
        if (r->o.raw)
            q.out += line;
        else
            q.out.append(text);
        q.out += '\n';
        ZvcliReply k = zvcli_classify(text);
        if (k != ZVCLI_REPLY_DATA) {
            q.done = true;
            q.refused = k == ZVCLI_REPLY_REFUSED;
        }
    }
    return zvcli_reply_start_ok(r->cli.inbuf) ? 1 : 0;
}

// Prints the finished requests at the head of the input order.
int print_done(Run *r) {
    while (!r->flight.empty() && r->flight.front().done) {
        Request &q = r->flight.front();
        if (q.refused) r->refused = true;
        fwrite(q.out.data(), 1, q.out.size(), r->out);
        r->flight.pop_front();
    }
    if (ferror(r->out)) {
        fail(r, std::string("writing the replies: ") + strerror(errno));
        return 0;
    }
    return 1;
}

size_t unanswered(const Run *r) {
    size_t n = 0;
    for (const Request &q : r->flight) n += q.done ? 0 : 1;
    return n;
}

int session(Run *r) {
    auto last = Clock::now();  // last sign of life from the server
    for (;;) {
        // The time-out counts from the later of the last reply and the first
        // request sent after an idle spell (a batch may wait on its input).
        if (!print_done(r)) return ZVCLI_EXIT_FAIL;
        if (r->flight.empty()) last = Clock::now();
        if (!send_pending(r)) return ZVCLI_EXIT_FAIL;
        bool input_open = !r->in_eof && !r->in_stop;
        if (r->flight.empty() && r->pending.empty() && !input_open) break;
        if (fflush(r->out) != 0) {
            fail(r, std::string("writing the replies: ") + strerror(errno));
            return ZVCLI_EXIT_FAIL;
        }
        pollfd p[2] = {{r->cli.fd.get(), POLLIN, 0}, {-1, POLLIN, 0}};
        // Read input only while it can be sent soon, so a huge batch is never
        // held in memory; interactive lines go out as soon as they are typed.
        if (input_open && r->pending.size() < static_cast<size_t>(r->o.window)) p[1].fd = r->in_fd;
        int wait_ms = -1;
        if (!r->flight.empty()) {
            auto limit = last + std::chrono::seconds(r->o.timeout_s);
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now());
            if (left.count() <= 0) {
                fail(r, "timed out after " + std::to_string(r->o.timeout_s) +
                            " seconds waiting for the server (" + std::to_string(unanswered(r)) +
                            " requests unanswered; with -nocheck a wrong shared secret also "
                            "looks like this)");
                return ZVCLI_EXIT_FAIL;
            }
            wait_ms = static_cast<int>(left.count());
        }
        int n = poll(p, 2, wait_ms);
        if (n < 0 && errno != EINTR) {
            fail(r, std::string("poll: ") + strerror(errno));
            return ZVCLI_EXIT_FAIL;
        }
        if (n <= 0) continue;
        if (p[1].revents && read_input(r) < 0) return ZVCLI_EXIT_FAIL;
        if (p[0].revents) {
            last = Clock::now();
            int gone = cli_pump(&r->cli);
            if (!take_replies(r)) {
                fail(r,
                     "the server's replies cannot be read: the shared secret differs "
                     "from the server's");
                return ZVCLI_EXIT_FAIL;
            }
            if (gone < 0) {
                if (!print_done(r)) return ZVCLI_EXIT_FAIL;
                if (r->flight.empty() && r->pending.empty() && (r->in_eof || r->in_stop)) break;
                fail(r, "connection to the server lost: " + r->cli.error);
                return ZVCLI_EXIT_FAIL;
            }
        }
    }
    return r->refused ? ZVCLI_EXIT_REFUSED : ZVCLI_EXIT_OK;
}

}  // namespace

int zvcli_run(ZvcliOptions o, int in_fd, FILE *out, FILE *err) {
    Run r;
    r.o = std::move(o);
    r.out = out;
    r.err = err;
    r.in_fd = in_fd;
    std::string msg;
    if (r.o.mode == ZVCLI_COMMAND) {
        std::string cmd;
        for (const std::string &a : r.o.args) cmd += (cmd.empty() ? "" : " ") + a;
        std::string word = zvcli_command_word(cmd);
        std::string why = zvcli_command_problem(cmd, 1);
        if (why.empty()) why = zvcli_args_problem(r.o.args);
        if (!why.empty()) {
            fail(&r, why);
            return ZVCLI_EXIT_FAIL;
        }
        if (word == "testcrypt" && !r.o.yes && !confirmed(&r, kTestcrypt)) {
            fail(&r, "testcrypt not sent");
            return ZVCLI_EXIT_FAIL;
        }
        bool ends = word == "exit" || word == "quit";
        r.pending.push_back({ends ? "exit" : cmd, ends});
        r.in_eof = true;
    }
    std::string secret;
    if (!zvcli_settings(&r.o, &msg) || !zvcli_secret(r.o, &secret, &msg)) {
        fail(&r, msg);
        return ZVCLI_EXIT_FAIL;
    }
    int ms = r.o.timeout_s * 1000;
    std::string where = r.o.host + ":" + std::to_string(r.o.port);
    if (!zvcli_connect(r.o, &r.cli)) {
        fail(&r, "cannot connect to " + where + ": " + r.cli.error);
        return ZVCLI_EXIT_FAIL;
    }
    if (!cli_encrypt(&r.cli, secret, r.o.check, ms)) {
        fail(&r, "handshake with " + where + " failed: " + r.cli.error);
        return ZVCLI_EXIT_FAIL;
    }
    int status = session(&r);
    if (fflush(r.out) != 0 && status != ZVCLI_EXIT_FAIL) {
        fail(&r, std::string("writing the replies: ") + strerror(errno));
        status = ZVCLI_EXIT_FAIL;
    }
    cli_close(&r.cli);
    return status;
}
