// Authenticator pool: a fixed set of external authenticator processes on
// pipes that serve the requests of enciphered connections in pool mode.
// Used by the server's start-up, its idle work and the session layer.
#pragma once

struct CHAN;

int ex_init();
// Hands a request line (identifier included) to an idle process.
int ex_cmd(CHAN *c, char *cmdline);
// Relays waiting replies of busy processes.
int ex_poll();
int ex_n();
