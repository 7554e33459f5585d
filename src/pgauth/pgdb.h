// pgauth's one connection to PostgreSQL: connecting (and reconnecting after a
// failure) with time-outs, the two tables and the trigger that notifies every
// change, prepared statements run with a deadline, the notifications
// received, and the "-ERR" text of the last failure. Used by pgauth's
// commands and by its import and export.
// Owns the one connection; one thread.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "pgauth/pgconf.h"

struct PgClear {
    void operator()(PGresult *r) const { PQclear(r); }
};
using PgRes = std::unique_ptr<PGresult, PgClear>;

// Settings for the next connection; closes the present one.
void pgdb_configure(const PgSettings &s);
// 1 when a connection is up with its tables and statements, connecting now
// when there is none (or when the last one broke). 0 with pgdb_error().
int pgdb_ready();
// The reply line of the last failure ("-ERR ..."), without line end.
const char *pgdb_error();
// Runs prepared statement name with bytea parameters; results come in binary
// form (bytea columns as raw bytes). Null on failure, with pgdb_error() set;
// a broken connection is dropped so that the next pgdb_ready reconnects.
PgRes pgdb_exec(const char *name, std::initializer_list<std::string_view> params);
// Runs a statement without parameters ("BEGIN", "COMMIT", ...). 1 or 0.
int pgdb_simple(const char *sql);
void pgdb_close();

// The number of the connection that is up (each new one gets the next), 0
// when none is: notifications are lost between two connections.
uint64_t pgdb_connection();
// True when the connection up receives the change notifications (a hot
// standby cannot).
bool pgdb_listening();
// Statements sent since the start, the schema's and LISTEN's included.
uint64_t pgdb_statements();
// Hands fn the payload of every change notified on the connection so far
// (the changed user's name in hex, or "" for every user), reading what has
// arrived without waiting. 1, or 0 when there is no connection or it broke.
int pgdb_notifications(void (*fn)(const char *payload));

// Column col of row as bytes, and an int8 column in binary form.
std::string pgdb_value(const PGresult *r, int row, int col);
int64_t pgdb_int8(const PGresult *r, int row, int col);

// Rows per page of the keyset walks (search and export).
constexpr int PGDB_PAGE = 1000;
