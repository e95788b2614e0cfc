#ifndef UPGRADE_BENCH_BENCH_PROC_H
#define UPGRADE_BENCH_BENCH_PROC_H

// The benchmark's waits, built on the tests' toolkit and helpers: it starts programs as the
// tests do (toolkit::Launch, toolkit::Child, whose pidfd wakes a wait the moment a child ends,
// which the ESC figures time) and watches several at once, reading their output meanwhile.
//
// Every program the benchmark starts runs in a session of its own (so that a whole tree, an
// strace and its tracee for instance, is killed with one signal to the group), with its
// standard output captured through a pipe and its standard error written to a file. `upgrade`
// gets a pseudo-terminal as its controlling terminal and standard input: the benchmark presses
// ESC by writing to that terminal's master. Serial lines are always pseudo-terminals that the
// benchmark or the simulator created, never a real port.
//
// Every wait takes a deadline (CLOCK_MONOTONIC nanoseconds) and returns false when it passes.

#include "helpers/figures.h"
#include "toolkit/proc.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using helpers::context_switches;
using helpers::process_cpu_ns;
using helpers::status_field;
using toolkit::after_ms;
using toolkit::Child;
using toolkit::Launch;
using toolkit::mono_ns;
using toolkit::Pty; // opened with toolkit::open_pty, its slave held by the benchmark

// Standard error to the file at `path`, or to /dev/null when it is empty.
toolkit::Stdio err_to(const std::string& path);

// The children whose output is read and whose ends are noticed while the benchmark waits, and
// the consoles (pty masters) of the programs among them, whose text is read and dropped.
struct Group {
    std::vector<Child*> children;
    std::vector<toolkit::Stream*> consoles = {};
};

// Reads output and notices exits until `deadline` or until something happened; returns at once
// when something is ready.
void pump(const Group& group, std::int64_t deadline);

// Waits until `child` has printed `needle` at or after byte `from` of its output; `seen_ns`
// gets the time the text arrived. False on the deadline or when the child ended first.
bool wait_text(const Group& group, Child& child, const char* needle, std::int64_t deadline,
               std::int64_t* seen_ns = nullptr, std::size_t from = 0);

// Waits until `child` has ended (reaped, with its CPU time and peak memory).
bool wait_exit(const Group& group, Child& child, std::int64_t deadline);

// Waits until `deadline`, reading output meanwhile.
void idle_until(const Group& group, std::int64_t deadline);

// Kills the process group of every child still running, and what an ended child left running
// in its group (a tracee, a helper), and reaps it; closes the pipes.
void finish(const Group& group);

// Writes all bytes to a descriptor (a pty master), within 2 s.
inline bool put_bytes(int fd, const std::string& bytes) {
    return toolkit::write_all(fd, bytes, 2000);
}

} // namespace bench

#endif
