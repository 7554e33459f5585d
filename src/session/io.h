// Session protocol: the identified line protocol spoken with each client
// (encrypt, exit, the clear-mode refusal, hand-off to the pool or the engine)
// and the reply path: framing a reply line, enciphering it with the
// connection's send generator, queuing it on the connection's output buffer
// and writing it out. The classic loop keeps 8000 bytes and drops a "+DATA"
// line that does not fit; the fast loop grows the buffer up to 64 MB and
// stops reading the connection's requests while much waits. A line that ends
// a request is never dropped: the connection is closed instead. The server
// binds io_read and io_write as the callbacks of every accepted connection
// and io_printf as the pool's reply. An engine request carries its
// connection and identifier to the engine's reply sink, which lets go of
// them when the request ends. One thread; io_read and io_write_bf may close
// the channel.
#pragma once

struct CHAN;

// Read callback: takes in what the socket holds and handles each line.
int io_read(CHAN *c, void *x);
// 1 to go on with the next buffered line, 0 when the connection was closed.
int io_line(CHAN *c, char *line);
// Runs one command line in the engine, its replies to c; 0 when the line
// holds no space. A request whose hash was handed off (fast loop) is
// answered later, maybe after requests read after it; until then c's record
// is kept, and a reply to a connection closed meanwhile is dropped.
int io_cmd(CHAN *c, char *cmdline);
// Where the replies of one engine request go: its connection and identifier.
struct ReplyTo {
    CHAN *callback_chan;
    int callback_rid;
};
// The engine's print callback: sends one reply text (cut at its first line
// end) to the connection and identifier that to (a ReplyTo) names.
void io_callback_send(void *to, char *data);

// Formats one reply (at most 1999 characters) and queues it.
int io_printf(CHAN *c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Queues n bytes, enciphered when the connection is; 0 when they were not
// queued (dropped, or the connection is closed).
int io_write_bf(CHAN *c, char *bf, int n);
// Write callback: writes what is waiting.
int io_write(CHAN *c, void *x);
// Picks the loop's rules for waiting output once, at start-up (the classic
// ones until then).
void io_use_loop(bool fast);
