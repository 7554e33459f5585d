// Interactive installer, upgrader and uninstaller, run by the command line's
// "-install" and "-uninstall" before any server start-up; it talks only
// through standard input, output and error (perror), never through the log.
// Called by the server's start-up only; one thread.
#pragma once

// "-install": upgrades when /etc/zorvexsvr.conf exists, else installs anew,
// prints the result line and waits for one line of input. Returns 1.
int install_do();

// "-uninstall": asks first; on an answer beginning with "y" removes
// /usr/local/bin/zorvexsvr and /etc/zorvexsvr.conf. Returns 1.
int install_uninstall();

// The steps of install_do, each reporting its own file errors with perror.
int install_new();
int install_upgrade();
// Sets the installation and data directories (both /usr/local/vexmo) and
// creates the installation directory when it is missing.
void get_dest();
void install_ini();
void install_startup();
void install_exe();

// Copies the file src into the directory xdst under the last component of
// src's name; waits 8 seconds once when the target is a running program.
void do_copy(const char *src, const char *xdst);

// Prints "hint [dflt]?" and reads one line of at most 99 characters into
// rslt (which holds 100 bytes); an empty line gives dflt. Returns 0 at end
// of input, leaving rslt alone, else 1.
int prompt(const char *dflt, char *rslt, const char *hint);

// "/etc/<name>", "/usr/local/bin/<name>" and "/usr/local/vexmo/<name>", each
// in a buffer of its own that the next call of the same function overwrites.
const char *install_file(const char *name);
const char *install_binfile(const char *name);
const char *install_exe_file(const char *name);
