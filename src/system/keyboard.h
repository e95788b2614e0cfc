#ifndef UPGRADE_SYSTEM_KEYBOARD_H
#define UPGRADE_SYSTEM_KEYBOARD_H

// The technician's keyboard: the one key that steers a running upgrade (ESC).
//
// The keyboard is the controlling terminal itself (the console device on Windows), opened on
// first use even when standard input is redirected, and read without echo while the program
// runs in the terminal's foreground; its settings are restored at every end of the program and
// whenever it is stopped. In the background (after Ctrl-Z and `bg`, or started with `&`) the
// keyboard is neither read nor set, and it is taken again once the program is back in the
// foreground. Without a terminal no key is ever waiting; a terminal that hangs up is dropped,
// and from then on it is as if there were none.
//
// Only the program's own thread reads the keyboard: on ESC it raises the run's stop, which the
// lines' waits watch (link/link_wait.h). One file per system implements this header
// (keyboard_posix.cpp, keyboard_win32.cpp).

#include <cstdint>

// True when a key was waiting and it was a lone ESC: one with nothing behind it at once. Any
// other waiting key is read and thrown away. Bytes that follow an ESC at once make one key
// that is not ESC, whole, none of its bytes a key of its own: an arrow or function key
// (ESC [ ... or ESC O x), Alt with a key (ESC x), and the terminal's own answers to queries
// (ESC ] ... and ESC P ..., ended by BEL or ESC \). ESC pressed twice is ESC. Returns false
// at once when no key is waiting, and without looking in the background.
bool escape_pressed();

// What wait_ports can block on to learn that a key may be waiting, or -1 without a keyboard
// (or in the background, where keys typed are the shell's).
std::intptr_t console_wait_handle();

#endif
