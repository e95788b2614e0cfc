#ifndef UPGRADE_SYSTEM_SIGNALS_H
#define UPGRADE_SYSTEM_SIGNALS_H

// The signals that end or stop the program: none may leave the terminal without echo or a
// serial port held, and a closed output must not end a flash. One file per system implements
// this header (signals_posix.cpp; on Windows, signals_win32.cpp, where Ctrl+C and the closing
// of the console end the process and the system gives its handles back).

struct Wakeup;

// What a signal that ends the program does before it ends it, beside restoring the terminal:
// the driver gives the serial ports back, whose exclusive hold would otherwise outlive the
// program on a line whose other end stays open. `cleanup` runs in a signal handler, so it
// must be safe there; set it once at start, before prepare_signals. nullptr: nothing.
void set_signal_cleanup(void (*cleanup)());

// Makes the program hard to end by accident; call once at start, before the first message.
// A closed standard output or standard error (`| head`) never ends the program: what cannot
// be written is dropped. The signals that end a program (interrupt, terminate, hangup, quit)
// restore the terminal and run the clean-up before they end it as they would have; a
// signal that was ignored when the program started (`nohup`, `&` in a script) stays ignored.
void prepare_signals();

// From now on the signals that end the program (interrupt, terminate, hangup, quit) stop the
// run instead: `stop` is raised, so that every line ends as ESC ends it and the station's table
// is printed, and the program then ends by that signal with end_by_signal. A second such
// signal ends the program at once, as the first did before. (Windows: nothing changes.)
void stop_on_ending_signals(Wakeup& stop);
// The signal that stopped the run, or 0.
int stopping_signal();
// Ends the program by `signal_number` as it would have ended at once: the terminal restored,
// the clean-up run.
void end_by_signal(int signal_number);

#endif
