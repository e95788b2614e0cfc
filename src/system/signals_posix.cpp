#include "system/signals.h"

// The signals on POSIX systems: a closed pipe is ignored, and the signals that end the program
// restore the terminal and run the driver's clean-up first, or, in a station, stop the run.

#include "system/keyboard_posix.h"
#include "system/wakeup.h"

#include <atomic>
#include <csignal>

namespace {

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Read in the signal handlers, on whichever thread a signal lands: a lock-free atomic is safe
// there.
std::atomic<void (*)()> signal_cleanup{nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free);

// Signals that end the program put the terminal back and run the clean-up (the ports given up)
// first, then end it as they would have.
void end_on_signal(int signal_number) {
    restore_terminal();
    if (void (*cleanup)() = signal_cleanup.load())
        cleanup();
    // Neither fails for a signal that was caught, and a handler could do nothing about it.
    (void)std::signal(signal_number, SIG_DFL);
    (void)std::raise(signal_number);
}

// A station's run, stopped by a signal instead of ended by it.
Wakeup* run_stop = nullptr;
volatile std::sig_atomic_t stopped_by = 0;

void stop_run_on_signal(int signal_number) {
    if (stopped_by == 0) {
        stopped_by = signal_number;
        // The next one ends the program at once.
        set_handler(signal_number, end_on_signal);
        raise_wakeup(*run_stop);
        return;
    }
    end_on_signal(signal_number);
}

} // namespace

void set_signal_cleanup(void (*cleanup)()) {
    signal_cleanup.store(cleanup);
}

void prepare_signals() {
    (void)std::signal(SIGPIPE, SIG_IGN); // cannot fail for SIGPIPE
    for (int signal_number : ending_signals) {
        if (!ignored_at_start(signal_number))
            set_handler(signal_number, end_on_signal);
    }
    hand_back_terminal_on_stop();
}

void stop_on_ending_signals(Wakeup& stop) {
    run_stop = &stop;
    for (int signal_number : ending_signals) {
        struct sigaction current {};
        // A signal ignored at start stays ignored.
        if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == end_on_signal)
            set_handler(signal_number, stop_run_on_signal);
    }
}

int stopping_signal() {
    return stopped_by;
}

void end_by_signal(int signal_number) {
    end_on_signal(signal_number);
}

void set_handler(int signal_number, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Interrupted writes of messages carry on; waits in poll end anyway and look again.
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, nullptr);
}

bool ignored_at_start(int signal_number) {
    struct sigaction current {};
    return sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}
