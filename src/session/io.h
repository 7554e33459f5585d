// Session protocol: the identified line protocol spoken with each client
// (encrypt, exit, the clear-mode refusal, hand-off to the pool or the engine)
// and the reply path of a connection (framing, enciphering, output buffer).
// Installed by the channel layer on every accepted connection; the pool
// replies through io_printf.
#pragma once

struct CHAN;

// Read callback: takes in what the socket holds and handles each line.
int io_read(CHAN *c, void *x);
// 1 to go on with the next buffered line, 0 when the connection was closed.
int io_line(CHAN *c, char *line);
// Runs one command line in the engine; 0 when the line holds no space.
int io_cmd(CHAN *c, char *cmdline);
void io_callback_send(char *data);
// Formats one reply (at most 1999 characters) and queues it.
int io_printf(CHAN *c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Queues n bytes, enciphered when the connection is; 0 when they don't fit.
int io_write_bf(CHAN *c, char *bf, int n);
// Write callback: writes what is waiting.
int io_write(CHAN *c, void *x);
