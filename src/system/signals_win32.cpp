#include "system/signals.h"

// The signals on Windows: there are none to arrange. Windows has no signal that a closed pipe
// raises, and Ctrl+C and the closing of the console end the process, which gives its ports back
// with their handles.

// No signal handler runs the clean-up: the system gives the ports back with their handles.
void set_signal_cleanup(void (*)()) {}

void prepare_signals() {}

// Ctrl+C and the closing of the console end the process at once, as they did before.
void stop_on_ending_signals(Wakeup&) {}

int stopping_signal() {
    return 0;
}

void end_by_signal(int) {}
