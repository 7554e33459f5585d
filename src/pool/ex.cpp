#include "pool/ex.h"

// Interim pool: nothing is started and nothing is ever busy.
int ex_init() { return 1; }
int ex_cmd(CHAN *, char *) { return 1; }
int ex_poll() { return 1; }
int ex_n() { return 1; }
