// Session protocol: the identified line protocol spoken with each client
// (encrypt, exit, the clear-mode refusal, hand-off to the pool or the engine).
// Its io_read is bound by the server as the read callback of every accepted
// connection; replies go out through the reply path (net/reply.h). While the
// engine runs a command, its output routine is bound to this connection
// (io_callback_send). One thread; io_read may close its channel.
#pragma once

struct CHAN;

// Read callback: takes in what the socket holds and handles each line.
int io_read(CHAN *c, void *x);
// 1 to go on with the next buffered line, 0 when the connection was closed.
int io_line(CHAN *c, char *line);
// Runs one command line in the engine; 0 when the line holds no space.
int io_cmd(CHAN *c, char *cmdline);
void io_callback_send(char *data);
