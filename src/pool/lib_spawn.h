// Process spawning: starts a program as a child on two pipes (its standard
// input and output; empty environment, no standard error) and offers the few
// operations the authenticator pool needs on such a child. No table of
// children is kept: a child is its pid and its two descriptors.
// Used by the pool only; one thread.
#pragma once

// Starts cmd (one path, no arguments) with the environment env. On success
// returns the child's pid and sets *xin (write requests) and *xout (read
// replies); 0 when a pipe could not be made, -1 when fork failed, both with
// the reason in msg (at least 1000 bytes) and *xin, *xout set to -1.
// Returns once the child has run cmd or failed to: a child whose exec failed
// ends at once, with the failure logged, and is still returned, as a process
// that will answer nothing; spawn_exec_failed says which it was.
int lib_spawn(const char *cmd, char **env, int *xin, int *xout, char *msg);
// True when the last lib_spawn's child could not run its program.
bool spawn_exec_failed();
// lib_spawn with an empty environment.
int lib_spawn_noenv(const char *cmd, int *hin, int *hout, char *msg);

// Plain blocking write and read; the results of write(2) and read(2).
int spawn_write(int fd, const char *buf, int n);
int spawn_read(int fd, char *buf, int n);
// Bytes readable now without waiting; 0 when none or when the query fails.
int spawn_nready(int fd);
// Closes fd, the output of the child pid, then reaps that child if it has
// ended, without waiting; the result of waitpid (pid, 0 or -1), 0 for no pid.
int spawn_close(int fd, int pid);
// 1 when pid is a child of this process that is still running.
int spawn_isalive(int pid);
// SIGKILL and a wait for the child (2 s steps, at most 25 of them). Always 1.
int spawn_kill(int pid);
// SIGKILL without waiting, for a loop that must go on serving: returns a
// descriptor that turns readable when the child has ended (a pidfd; the
// caller closes it), or -1 when there is none. Reap with spawn_reaped.
int spawn_kill_nowait(int pid);
// 1 once pid is no child left to reap: reaped now (without waiting) or before.
int spawn_reaped(int pid);
