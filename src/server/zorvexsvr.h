// Server start-up, command line, main loop with its idle work, and the orderly
// shutdown: the top layer, which includes every other one. The program's main
// binds the layers (log_bind, ini_bind, main_bind) and calls zorvexsvr_main.
// main_bind binds main_idle as the channel loop's idle work, main_exit as the
// failed wait's shutdown and the session's callbacks for accepted
// connections, so that the layers below never include this module. One
// thread; main_idle runs from the wait loop, between callbacks.
#pragma once

struct CHAN;

// Everything the program does; returns the exit status (or never returns).
int zorvexsvr_main(int argc, char **argv);

// Binds this module's and the session's entry points into the layers below.
void main_bind();
// Gives each layer the steps of the loop the key loop names ("fast", or the
// classic one), once, after the configuration is loaded.
void main_pick_loop();
int main_init();
int main_load();
int main_init_socket(CHAN *c);
int write_pid();
[[noreturn]] void main_run();
void main_idle();
void main_idle_20();
[[noreturn]] void main_exit();
void sig_init();
int lib_detach();
