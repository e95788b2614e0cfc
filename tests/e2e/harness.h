#ifndef UPGRADE_TESTS_E2E_HARNESS_H
#define UPGRADE_TESTS_E2E_HARNESS_H

// End-to-end harness: runs the real `upgrade` binary the way a technician does, but with every
// device replaced by a pseudo-terminal.
//
// - Its console is a pseudo-terminal of its own: the program's controlling terminal (/dev/tty)
//   and standard input are that terminal's slave, so the test presses keys by writing to the
//   console master and reads the echo of the receiver's text from it.
// - Standard output and standard error go to pipes and are captured byte for byte.
// - COM1 and COM2 are always mapped to pseudo-terminals with /com1= and /com2=, so a run can
//   never open a real serial port. The test plays the receiver on a port's master directly, or
//   starts `receiver-sim --pty` and hands its slave to the program.
//
// Every wait has a deadline; processes still running at the end of a test are killed.

#include "helpers/figures.h"
#include "helpers/images.h"
#include "toolkit/proc.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

namespace e2e {

// What a receiver sends to start a download, and the host's answer.
inline const std::string announcement = "KAL VERON KELDKAR";
inline const std::string access_string = "marlose-quintar";

// Deadlines, generous for a loaded two-core machine and a sanitizer build.
constexpr int start_ms = 10000;    // until "ready." or the simulator's first line
constexpr int exit_ms = 10000;     // until a process that is about to end has ended
constexpr int download_ms = 30000; // a whole download against the simulator
constexpr int prompt_ms = 3000;    // "promptly": a reaction to ESC, a hangup, a signal
constexpr int quiet_ms = 700;      // how long "nothing happens" is watched
// The simulator's own limit on a whole run (its --timeout). It only ends a run that went wrong,
// so it must outlast every wait of a test: starting the Windows build under wine (up to 30 s on
// a loaded machine) and then a whole download.
constexpr int sim_timeout_s = 90;

// Streams read as data arrives, pseudo-terminal pairs (a COM pty is a serial line held raw by
// the test, a console a fresh terminal) and the processes the tests start.
using toolkit::Child;
using toolkit::Pty;
using toolkit::Stream;

// Where a child's standard output goes: a pipe read by the test (Pipe), nowhere (Closed at
// start), or its console terminal (Console).
using Output = toolkit::Io;

// Reads what is available on the open streams, waiting up to `timeout_ms` for the first byte.
void pump(const std::vector<Stream*>& streams, int timeout_ms);

// The link's checksum, computed independently of the program: the reflected CRC-32 table run
// from 0 without final inversion.
std::uint32_t link_crc(const std::uint8_t* bytes, std::size_t length);

// Test images and their files.
using helpers::image_bytes;
using helpers::read_file;
using helpers::write_file;

// Text for failure messages: control bytes shown as escapes.
std::string printable(const std::string& text);

// Compares `actual` with `pattern`, in which every `hex_wild` stands for one upper-case
// hexadecimal digit. Returns an empty string on a match, otherwise where they part.
constexpr char hex_wild = '\x01';
std::string pattern_mismatch(const std::string& actual, const std::string& pattern);

// The lines of a plain-text report split at line ends.
std::vector<std::string> split_lines(const std::string& text);

// Fixture: a work directory, the console pty and the two COM ptys, the program and optionally
// the simulator. TearDown kills whatever still runs and prints the captured output on failure.
class E2eTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts `upgrade` in the work directory with /com1= and /com2= (the COM ptys unless
    // `com_device` was changed) placed before `args`.
    void start_upgrade(const std::vector<std::string>& args);
    // Starts `upgrade` as a job of a small job-control shell (job_shell) on the console: the
    // shell leads the session and the program runs in a process group of its own, in the
    // foreground or in the background. The test types keys (Ctrl-Z included) on the console and
    // moves the job with job_command: 'f' (fg: foreground and SIGCONT) or 'b' (bg: the shell
    // keeps the terminal, SIGCONT). `upgrade` is the shell, which ends with the job's status;
    // `job_pid` is the program itself.
    void start_job(const std::vector<std::string>& args, bool in_foreground);
    void job_command(char command);
    // The program's state letter from /proc (R, S, T for stopped, ...), '?' when it is gone.
    char job_state();
    bool wait_job_state(char state, int timeout_ms = prompt_ms);
    // Waits until the console is back in the shell's line-by-line mode with echo (the program
    // has handed it back or never took it).
    bool console_given_back(int timeout_ms = prompt_ms);
    // Closes the test's end of a stream, as `| head` does once it has read enough.
    void close_stream(Stream& stream);

    // Starts another instance of `upgrade` with exactly `args` (the caller supplies /com1= and
    // /com2=) and a console of its own. The fixture owns, pumps and cleans up both.
    Child& launch_other_upgrade(const std::vector<std::string>& args);

    // Starts `receiver-sim --pty` with `args` in the work directory; returns the slave path
    // it printed, or an empty string (the test has failed then).
    std::string start_sim(const std::vector<std::string>& args);
    // Starts another simulator, owned and cleaned up like further instances of the program.
    std::string start_other_sim(const std::vector<std::string>& args);
    std::string start_sim_as(Child& child, const std::vector<std::string>& args);

    // Pumps every stream until `text` appears in `stream` (from `from` on); false on timeout.
    bool wait_for(Stream& stream, const std::string& text, int timeout_ms, std::size_t from = 0);
    bool wait_output(const std::string& text, int timeout_ms = start_ms) {
        return wait_for(upgrade.out, text, timeout_ms);
    }
    // Pumps for `ms` and returns true when nothing new arrived on `stream`.
    bool stays_quiet(Stream& stream, int ms = quiet_ms);
    // The program's CPU share and wake-ups while the test watches its output stay still for
    // `ms`; the test fails when the output moved or the figures could not be read.
    helpers::SpanFigures figures_while_quiet(int ms);

    // Waits for the child to end; kills it with SIGKILL and fails the test on timeout.
    // Returns its exit status (128 + signal when it was killed by a signal), -1 on timeout.
    int wait_exit(Child& child, int timeout_ms = exit_ms);
    int wait_upgrade(int timeout_ms = exit_ms) { return wait_exit(upgrade, timeout_ms); }
    // True when the child is still running after pumping for `ms`.
    bool still_running(Child& child, int ms);

    // Keys pressed on the program's console.
    void press(const std::string& keys);
    // Waits until the program has taken its console into non-canonical no-echo input, so that
    // a key written now is read as a key. False when that did not happen within `timeout_ms`.
    bool wait_console_keys(int timeout_ms = start_ms);

    // Bytes the receiver sends on COM1 (0) or COM2 (1).
    void receiver_sends(int com, const std::string& bytes);

    std::string path(const std::string& name) const { return dir + "/" + name; }

    std::vector<Stream*> streams();

    std::string dir;           // work directory of the run, removed at the end
    Pty console;               // the program's console
    Pty com[2];                // COM1 and COM2
    std::string com_device[2]; // what /com1= and /com2= name; the COM pty slaves by default
    bool with_console = true;  // start_upgrade gives the program its console pty
    Output upgrade_stdout = Output::Pipe; // where start_upgrade sends the program's output
    std::vector<int> ignored_signals;     // ignored when start_upgrade starts the program
    Child upgrade;
    Child sim;
    std::string job_control, job_pid_file; // start_job's command FIFO and the job's pid
    int job_fd = -1;
    pid_t job_pid = -1;
    std::list<Child> other_runs;   // further instances of the program or the simulator
    std::list<Pty> other_consoles; // and their consoles
};

// Names the cases of a parameterised test after their `name` field.
struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& param_info) const {
        return param_info.param.name;
    }
};

// Shows a case of a parameterised test by its name in failure messages.
template <class Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

// The texts the program prints, built from its output rules.
std::string banner();
// `speed` in hundreds of baud, as the program holds it.
std::string settings_report(const char* port, int speed, unsigned block_size);

} // namespace e2e

#endif
