// The engine's file names: the engine directory (kvauth_path, else the
// halvo_path line of the mail server's configuration, read once) and the path
// of each engine file in it. Used by every engine module that opens a file and
// by the server's start-up (kvauth_set_path). One thread; paths are returned
// in a buffer that the next call overwrites.
#pragma once

// Path of engine file fname: "<dir>/<fname>", or fname alone when the mail
// server's configuration cannot be read.
const char *file_config(const char *fname);
// The mail server's configuration file, "/etc/vexmo.conf" unless a test set one.
const char *file_vexmo();
// Sets the engine directory (at most 200 characters). Always 1.
int kvauth_set_path(const char *s);

// Reads the mail server's configuration from p instead (null: the default); for tests.
void file_vexmo_set_for_test(const char *p);
// Forgets both paths and the override; for tests.
void kvfilename_reset_for_test();
