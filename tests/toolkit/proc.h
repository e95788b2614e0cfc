#ifndef UPGRADE_TESTS_TOOLKIT_PROC_H
#define UPGRADE_TESTS_TOOLKIT_PROC_H

// Pseudo-terminals and child processes for the end-to-end tests, the tests of the Windows build
// and the benchmark: they all run real programs on pseudo-terminal pairs and watch them from
// outside.
//
// - A pair is opened with the slave held by the caller, so that nothing written to the master
//   is lost or echoed before the program opens the slave, and so that the master never sees a
//   hangup while the program has not opened it yet.
// - A program runs in a session of its own: one signal to its process group ends it and
//   whatever it started (wine's helpers, strace's tracee), and a pseudo-terminal can become its
//   controlling terminal.
// - Output is read into buffers as it arrives, without ever blocking.
// - A child's end wakes a wait at once, through a pidfd, and its CPU time and peak memory are
//   kept when it is reaped, so that a benchmark can time exactly what a test only waits for.
//
// Every wait has a limit, a deadline in CLOCK_MONOTONIC nanoseconds (for write_all, a time in
// milliseconds), and gives up once it has passed. Nothing here prints, and nothing ends the caller:
// failure comes back as false (or -1).

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace toolkit {

// Now on the monotonic clock, in nanoseconds; the deadline `ms` milliseconds from now; the
// milliseconds left until `deadline` (0 once it has passed).
std::int64_t mono_ns();
std::int64_t after_ms(std::int64_t ms);
int ms_left(std::int64_t deadline);

// One file descriptor read into a buffer as data arrives.
struct Stream {
    int fd = -1;
    std::string data;
    bool closed = false; // end of file, or the other side went away
};

// Reads what `stream` holds now, without blocking. End of file or an error (EIO from a pty
// master whose slave was closed) marks it closed; the descriptor stays open.
void read_available(Stream& stream);

// Waits until one of the open `streams` has something to read or has ended, one of `wake` is
// readable, or `deadline` has passed; then reads every stream that is ready. Without anything
// to watch it simply sleeps until the deadline.
void pump_until(const std::vector<Stream*>& streams, std::int64_t deadline,
                const std::vector<int>& wake = {});

// Writes all of `bytes` to `fd` (a pty master or a pipe, blocking or not), waiting for room
// for at most `timeout_ms` in all. False on an error or when the time ran out.
bool write_all(int fd, const std::string& bytes, int timeout_ms);

// Closes `fd` when it is open and sets it to -1.
void close_fd(int& fd);
// Closes the caller's end of a stream, as `| head` does once it has read enough.
void close_stream(Stream& stream);

enum class PtySettings {
    SerialLine,    // raw, 57600 baud: a serial line as a program finds it
    FreshTerminal, // as the kernel makes it: canonical input with echo, as a console
};

// A pseudo-terminal pair. The master is non-blocking; the slave is held open by the caller.
struct Pty {
    Stream master; // what a program writes on the slave arrives here
    int slave = -1;
    std::string path; // the slave's name, for the program to open
};

// False when no pair could be made (nothing stays open then).
bool open_pty(Pty& pty, PtySettings settings);
void close_pty(Pty& pty);

// Where one of a child's standard descriptors leads.
enum class Io {
    Null,    // /dev/null
    Pipe,    // a pipe read by the caller as the child's `out` or `err` stream (not for input)
    Closed,  // closed when the program starts, as with `program >&-`
    Console, // the controlling terminal (`Launch::console`)
    File,    // `path`, opened by the child: input for reading and writing (a terminal a program
             // may also write through its input), output created or truncated
};

struct Stdio {
    Io io = Io::Null;
    std::string path = {}; // with Io::File: a file, or a pty slave (never made controlling)
};

struct Launch {
    std::vector<std::string> argv; // argv[0] is the program's path
    std::string cwd;               // its working directory; empty: the caller's
    std::string console;           // a pty slave that becomes its controlling terminal; or none
    Stdio in = {Io::Null};
    Stdio out = {Io::Pipe};
    Stdio err = {Io::Pipe};
    std::vector<int> ignored_signals; // ignored when it starts, as `nohup` or a script's `&` do
};

struct Child {
    pid_t pid = -1;
    int pidfd = -1; // readable once the process has ended (a wait wakes at its end); -1 without
    Stream out;     // its standard output with Io::Pipe; otherwise closed
    Stream err;     // its standard error with Io::Pipe; otherwise closed
    bool reaped = false;
    int status = -1;             // exit status, or 128 + signal number
    std::int64_t started_ns = 0; // mono_ns() just before it was started
    std::int64_t ended_ns = 0;   // mono_ns() when it was reaped
    std::int64_t cpu_ns = -1;    // user and system CPU of its whole run, once reaped
    long max_rss_kib = -1;       // its peak resident memory, once reaped
};

// Starts the program in a session of its own, all other descriptors closed and no signal
// blocked. The child exits with 126 when its console, a descriptor or its directory cannot be
// set up, and with 127 when the program cannot be executed. False (and `child` untouched) when
// it could not be started at all, or when the launch asks for what cannot be (a console that
// is not given, a pipe as input, a file without a path).
bool spawn(const Launch& launch, Child& child);

// A wait status as a shell shows it: the exit status, or 128 + the signal's number; -1 for a
// stopped or continued process.
int exit_status(int wait_status);

// Reaps `child` if it has ended, without blocking, and closes its pidfd. True once it has been
// reaped (now or before).
bool try_reap(Child& child);

// Waits until `child` has ended and reaps it, reading `streams` meanwhile; it wakes at the
// child's end (without a pidfd it looks every 10 ms). False when `deadline` passes first.
bool wait_exit(Child& child, const std::vector<Stream*>& streams, std::int64_t deadline);

// Kills the process group of `child` with SIGKILL if it still runs, and reaps it; then closes
// the caller's ends of its pipes.
void kill_and_reap(Child& child);

} // namespace toolkit

#endif
