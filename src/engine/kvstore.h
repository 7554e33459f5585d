// Storage behind the user index: the string pool (10000-byte blocks released
// only as a whole), the record store (records addressed by 32-bit ids) and the
// name index that maps a lowercased name to the record that answers for it.
// Used only by kvindex.cpp.
// Process-wide state; one thread.
#pragma once

#include <cstdint>

#include "engine/kvindex.h"

// String pool.
void *zmalloc(int sz);
char *zstrdup(const char *s);
void zstrfree(char *s);
// A record's new password or information: a pool copy that zvalue_free may
// hand back for reuse. zvalue_free ignores strings made by zstrdup or loaded
// with their record (those go with the whole pool) and returns false for them.
char *zvalue_dup(const char *s);
bool zvalue_free(const char *s);
void zfreeall();
long zpool_bytes();

// Record store: ids start at 1; 0 means none. Records live until rec_freeall.
uint32_t rec_new();
// n consecutive ids (n >= 1); returns the first.
uint32_t rec_new_n(uint32_t n);
USER *rec_get(uint32_t id);
// The id of a record of this store (a scan over the chunks: for rare callers).
uint32_t rec_id(const USER *u);
void rec_freeall();
long rec_bytes();

// Name index: name -> id of the newest live record of that name.
void nmap_reserve(uint32_t n);
uint32_t nmap_find(const char *name);
void nmap_put(const char *name, uint32_t id);
void nmap_erase(const char *name);
void nmap_clear();
// Names in the index: the live users.
uint32_t nmap_size();
// Loading many names at once: between begin and end only nmap_bulk_add may
// be used; it keeps an existing entry (callers add the newest record first).
void nmap_bulk_begin(uint32_t n);
void nmap_bulk_add(const char *name, uint32_t id);
void nmap_bulk_end();
long nmap_bytes();
