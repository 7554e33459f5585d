// Server start-up, command line, main loop with its idle work, and the orderly
// shutdown. The program's main calls zorvexsvr_main; the wait loop calls
// main_idle after every cycle and main_exit after a failed wait.
#pragma once

struct CHAN;

// Everything the program does; returns the exit status (or never returns).
int zorvexsvr_main(int argc, char **argv);

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
