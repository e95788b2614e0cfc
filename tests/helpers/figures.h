#ifndef UPGRADE_TESTS_HELPERS_FIGURES_H
#define UPGRADE_TESTS_HELPERS_FIGURES_H

// A running process's use of the machine, read from outside while it waits: its CPU time, its
// context switches and its memory. A program that waits as it should sleeps in the system: over
// a quiet span it uses next to no CPU and wakes only for what it waits for, so these figures
// catch a wait that spins (a test's limit) and measure how well it sleeps (the benchmark's).
//
// Every thread is counted: a station serves each line in a thread of its own, the console has
// a writer thread, and under wine the program's process also holds wine's own threads.

#include <sys/types.h>

#include <cstdint>
#include <functional>

namespace helpers {

// CPU time (user and system, every thread) of a running process in nanoseconds, from its
// process CPU clock; -1 once it has ended or when it cannot be read.
std::int64_t process_cpu_ns(pid_t pid);

// Context switches of every thread of a running process so far, voluntary and not; -1 when
// the process cannot be read.
long long context_switches(pid_t pid);

// A field of /proc/<pid>/status in its own unit ("VmHWM" in KiB), or -1.
long long status_field(pid_t pid, const char* name);

// A process's figures over a span of time.
struct SpanFigures {
    bool ok = false; // false when the process ended or could not be read
    double seconds = 0;
    double cpu_share = -1;     // of one core
    double wakeups_per_s = -1; // context switches a second
};

// Reads the process's CPU time and switches, runs `span` (in which the caller waits, reading
// what its programs print), and reads them again. Blocks as long as `span` does.
SpanFigures figures_over(pid_t pid, const std::function<void()>& span);

} // namespace helpers

#endif
