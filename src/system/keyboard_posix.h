#ifndef UPGRADE_SYSTEM_KEYBOARD_POSIX_H
#define UPGRADE_SYSTEM_KEYBOARD_POSIX_H

// What the POSIX keyboard (keyboard_posix.cpp) shares with the other POSIX parts of the console,
// and only with them. The controlling terminal is one descriptor: read for keys, written for
// the echo (console_posix.cpp), and put back as it was by the signals that end the program
// (signals_posix.cpp), and the two share how a signal's handler is set. Includes no system
// header.

// Puts back the settings the terminal had when the program took it, in the foreground only
// (the terminal then belongs to whoever holds it, and trying would stop the program). Safe in
// a signal handler.
void restore_terminal();

// Ctrl-Z hands the terminal back as it was, and the keyboard is taken again at the first look
// in the foreground after `fg`. A stop signal ignored at start stays ignored. Called once, by
// prepare_signals.
void hand_back_terminal_on_stop();

// Where the echo goes: the terminal, or standard error without one (none at start, or one that
// hung up); -1 when the echo is to be dropped (in the background of a terminal that stops
// background output). Opens the terminal on first use. A descriptor it returns stays open
// while the program runs, whatever the keyboard's thread does meanwhile.
int echo_descriptor();

// Sets `handler` for `signal_number`, with interrupted writes carried on (SA_RESTART).
void set_handler(int signal_number, void (*handler)(int));

// True when `signal_number` was ignored when the program started (nohup, `&` in a script): it
// stays ignored.
bool ignored_at_start(int signal_number);

#endif
