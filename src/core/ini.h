// Configuration file: loaded once at start-up, then answers lookups by key
// number for the life of the process. Used by the log, the sockets, the
// session layer, the pool and the server.
// Owns the values read. Lies below the log: its own messages go through the
// support library's bound log call. Each program's start-up binds the work
// area into lib (ini_bind). One thread.
#pragma once

// Key numbers, in the order of the key table; the order is the interface.
enum IniKey {
    INI_WORKAREA = 0,
    INI_CONFIG = 1,
    INI_LOGDIR = 2,
    INI_DEBUG = 3,
    INI_SECRET_FILE = 4,
    INI_AUTHENT_PROCESS = 5,
    INI_AUTHENT_NUMBER = 6,
    INI_PORT = 7,
    INI_KVAUTH_PATH = 8,
    // Keys beyond the classic nine: each changes nothing unless it is set.
    INI_LOOP = 9,              // "fast": the readiness-driven loop
    INI_LISTEN_ADDRESS = 10,   // address to listen on instead of every IPv4 one
    INI_ALLOW = 11,            // addresses and ranges admitted; empty admits all
    INI_MAX_CONNECTIONS = 12,  // client connections open at once; unset: what descriptors allow
    INI_PASSWORD_SCHEME = 13,  // the scheme set stores passwords in; unset: {ssha}
    INI_REHASH = 14,           // "yes": a check stores its password again in that scheme
    INI_HASH_THREADS = 15,     // worker threads for costly hashes in the fast loop
    INI_LOG_SECRETS = 16,      // "no": a fingerprint in place of every secret in the log
    INI_LOG = 17,              // "syslog": lines to syslog (facility mail) instead of the file
    INI_LOG_REQUESTS = 18,     // "true": one key=value line per request result
    INI_BRAKE_FAILURES = 19,   // failures that brake an address or a user; unset: no brake
    INI_BRAKE_WINDOW = 20,     // seconds failures count within, and of quiet before release
    INI_BRAKE_MAX_DELAY = 21,  // the longest delay between evaluated guesses, seconds
    INI_BRAKE_ENTRIES = 22,    // addresses, users and known logins remembered at most
    INI_TLS_PORT = 23,         // a second listener that speaks TLS (fast loop only)
    INI_TLS_CERT = 24,         // its certificate chain, PEM
    INI_TLS_KEY = 25,          // its private key, PEM, readable by the owner alone
    INI_TLS_CLIENT_CA = 26,    // when set, TLS clients need a certificate this CA signed
    INI_METRICS_LISTEN = 27,   // ADDRESS:PORT of the metrics listener; off when empty
    INI_NKEYS = 28
};

extern const char *const ini_names[];

// Binds the key workarea as the support library's work area (lib_set_workarea).
void ini_bind();
void ini_file_set(const char *path);
// The path ini_load reads: the one set by -conf, else /etc/zorvexsvr.conf.
const char *ini_file();
void ini_load();
void ini_free();
// The key's value, or "" when the file did not set it; never null.
const char *ini_get(int key);
// 1 when the key's value is exactly "true".
int ini_true(int key);
