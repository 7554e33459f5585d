// The request point: the one place where the session sees each request
// handed to the pool or the engine begin (its line, at dispatch) and end (its
// final reply line, whenever that comes). On it hang the brake on guessing
// (brake.h), which may hold a check back on a loop timer or refuse it, and
// the one-line request log ("log_requests true"). A request is known by its
// connection and identifier; its end may come after the dispatch returned,
// and the requests of one connection may end out of order. Used by io_line
// and the two reply paths (io_callback_send for the engine, req_pool_reply
// bound for the pool at start-up). One thread.
//
// The check line may carry the end client's address as one more word after
// the password, "from=<IPv4 or IPv6 address>" (doc/protocol.md); the stores
// ignore it.
#pragma once

struct CHAN;

// How a line reaches the pool or the engine (ex_cmd or io_cmd).
using ReqDispatch = int (*)(CHAN *c, char *line);

// Reads log_requests and the brake keys; at start-up, after the configuration.
void req_configure();
// True when the one-line request log is on.
bool req_logging();
// Hands a request line (identifier first) on through dispatch, now, later or
// not at all (a check refused by the brake is answered here).
void req_start(CHAN *c, int rid, char *line, ReqDispatch dispatch);
// One reply text (no identifier, no line end) of request rid on c; a final
// one ("+OK", "-ERR", "+ERR", "-DEAD") ends the request.
void req_reply(CHAN *c, int rid, const char *text);
// The pool's reply binding (io_printf's form, "%d %s\r\n" lines): queues the
// reply and notes it as req_reply does.
int req_pool_reply(CHAN *c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The reply a check refused unevaluated by the brake gets, after its identifier.
extern const char *const kReqThrottled;
// Drops requests waiting on the brake and what is known of requests in
// flight (shutdown, tests).
void req_close();
