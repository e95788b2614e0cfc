#include "system/keyboard.h"

// The part of the keyboard that is the same on every system: which a thread's waits watch, the
// keyboard or the run's stop.

#include "system/wakeup.h"

namespace {

// What stops this thread's waits instead of the keyboard (nullptr: the keyboard).
thread_local const Wakeup* run_stop = nullptr;

} // namespace

bool escape_pressed() {
    if (run_stop != nullptr)
        return run_stop->raised.load();
    return key_escape_pressed();
}

std::intptr_t console_wait_handle() {
    if (run_stop != nullptr)
        return run_stop->wait_handle;
    return keyboard_wait_handle();
}

void watch_stop_instead_of_keys(const Wakeup* stop) {
    run_stop = stop;
}
