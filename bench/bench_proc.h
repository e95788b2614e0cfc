#ifndef UPGRADE_BENCH_BENCH_PROC_H
#define UPGRADE_BENCH_BENCH_PROC_H

// Processes and pseudo-terminals for the benchmark, built on the tests' toolkit. What the
// benchmark adds: a pidfd for every child, so that a wait ends the moment a child ends (the ESC
// figures time exactly that), the time it was started and ended, its resource usage, and figures
// read from /proc while it runs.
//
// Every program the benchmark starts runs in a session of its own (so that a whole tree, an
// strace and its tracee for instance, is killed with one signal to the group), with its
// standard output captured through a pipe and its standard error written to a file. `upgrade`
// gets a pseudo-terminal as its controlling terminal and standard input: the benchmark presses
// ESC by writing to that terminal's master. Serial lines are always pseudo-terminals that the
// benchmark or the simulator created, never a real port.
//
// Every wait takes a deadline (CLOCK_MONOTONIC nanoseconds) and returns false when it passes.

#include "toolkit/proc.h"

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using toolkit::after_ms;
using toolkit::mono_ns;
using toolkit::Pty; // opened with toolkit::open_pty, its slave held by the benchmark

struct Launch {
    std::vector<std::string> argv;       // argv[0] is the program's path
    std::string cwd;                     // empty: the benchmark's own
    std::string console;                 // a pty slave: controlling terminal and standard input
    std::string line;                    // a pty slave as standard input and output (sz, rz)
    std::string err_path;                // standard error goes here; empty: /dev/null
    std::string input = {}, output = {}; // without console and line: pty slaves as standard
                                         // input and output (cat)
};

struct Child {
    toolkit::Child proc; // its pid, its standard output as it arrives, its exit status
    int pidfd = -1;      // readable once it has ended: a wait wakes up at its end
    toolkit::Stream* console = nullptr; // master of its console, read and dropped while it runs
                                        // (not owned: the caller closes it)
    std::int64_t spawn_ns = 0;
    std::int64_t exit_ns = 0;
    rusage usage{}; // resources of the whole process, once reaped
};

bool spawn(const Launch& launch, Child& child);

// The children whose output is read and whose ends are noticed while the benchmark waits.
using Group = std::vector<Child*>;

// Reads output and notices exits until `deadline` or until something happened; returns at once
// when something is ready.
void pump(const Group& group, std::int64_t deadline);

// Waits until `child` has printed `needle` at or after byte `from` of its output; `seen_ns`
// gets the time the text arrived. False on the deadline or when the child ended first.
bool wait_text(const Group& group, Child& child, const char* needle, std::int64_t deadline,
               std::int64_t* seen_ns = nullptr, std::size_t from = 0);

// Waits until `child` has ended (reaped, with its rusage).
bool wait_exit(const Group& group, Child& child, std::int64_t deadline);

// Waits until `deadline`, reading output meanwhile.
void idle_until(const Group& group, std::int64_t deadline);

// Kills the process group of every child still running and reaps it; closes the pipes.
void finish(const Group& group);

// CPU time of a running process in nanoseconds (its process CPU clock), or -1.
std::int64_t process_cpu_ns(pid_t pid);

// A field of /proc/<pid>/status ("VmHWM", "voluntary_ctxt_switches"), or -1.
long long status_field(pid_t pid, const char* name);

// Voluntary and involuntary context switches of every thread of a running process (each line
// of a station has a thread of its own; /proc/<pid>/status counts the main thread alone), or -1.
long long process_switches(pid_t pid);

// Writes all bytes to a descriptor (a pty master), within 2 s.
inline bool put_bytes(int fd, const std::string& bytes) {
    return toolkit::write_all(fd, bytes, 2000);
}

} // namespace bench

#endif
