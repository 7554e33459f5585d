// Authenticator pool: a fixed set of external authenticator processes on
// pipes that serve the requests of enciphered connections in pool mode.
// Used by the server's start-up, its idle work and the session layer.
// Owns the slots' processes and pipes for the life of the process; replies
// through the function the server binds (ex_set_reply); pipes, and killed
// processes until they are reaped, join the fast loop's wait set (tcplib.h).
// One thread; the wait calls back into the pool for a ready descriptor.
//
// Pipe protocol. To a process: the request line without its identifier and
// the space after it, ended by one LF (a CR ends it too and becomes the LF).
// From a process: LF-ended lines, each relayed as "<id> <line>\r\n"; a line
// starting "+OK" or "-ERR" finishes the request and frees the process.
// Whatever follows it, or comes while the process is idle, is dropped and
// logged; a process that does so a second time is replaced (doc/protocol.md).
#pragma once

struct CHAN;

// Binds how replies reach a connection (the session's io_printf); until it
// is bound, replies are dropped.
void ex_set_reply(int (*fn)(CHAN *c, const char *fmt, ...));
// Picks the loop's steps once, at start-up (see ex_cmd and ex_poll); the
// classic loop's run until then.
void ex_use_loop(bool fast);
// Seconds a request may keep its process busy before the process is reset.
constexpr int kExBusyLimit = 200;
// Starts every slot's process, with busy_seconds as the limit. Always 1.
int ex_init(int busy_seconds = kExBusyLimit);
// Closes every process's pipes and forgets every slot and waiting request;
// the processes see their input end, as when the server ends, and are not
// signalled. Those killed and not reaped yet are reaped. At shutdown.
void ex_close();
// Hands a request line (identifier included) to an idle process. The classic
// loop waits until one is idle (after 200 s of all busy, resetting every
// process); the fast loop queues the request.
// The connection is held (canclose 0) while a process serves it. Always 1.
int ex_cmd(CHAN *c, char *cmdline);
// Relays waiting replies of busy processes and drops idle output; in the fast
// loop, resets each process busy on one request past the limit and reaps
// killed ones. Always 1.
int ex_poll();
// The number of slots: authent_number, 1 when 0, empty, not a number or
// negative, at most 10.
int ex_n();

// Starts slot i's process; 1 on success, 0 (logged) on failure.
int ex_spawn(int i);
// Sends cmdline to slot p for connection c; 0 when the line holds no space
// (nothing sent), else 1 (a failed write resets the slot).
int ex_do_cmd(CHAN *c, char *cmdline, int p);
// Reads slot p's output and relays its complete lines. Always 1.
int ex_read(int p, int navail);
// Fails slot p's pending request, if any, and replaces its process. Always 1.
int ex_reset(int p);

// The slot whose reply the bound reply function is given now; -1 for a
// reply of no slot (a request refused while every process is busy).
int ex_reply_slot();

// The state of slot p (0 not started, 1 idle, 2 busy) and its process's pid.
int ex_state(int p);
int ex_pid(int p);
