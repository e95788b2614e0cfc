#ifndef UPGRADE_BENCH_BENCH_RUNS_H
#define UPGRADE_BENCH_BENCH_RUNS_H

// The single measurements of the benchmark. Each starts what it needs, measures once, kills
// everything it started and returns one sample; `ok` is false (with `why`) when a program
// misbehaved or a deadline passed, so that one bad run shows up instead of hanging the rest.

#include "bench_proc.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct Setup {
    std::string upgrade, sim, emu, strace, sz, rz, cat; // programs
    std::string dir;                                    // scratch directory of this benchmark run
    std::string download_dir;   // rom.bin, font.bin, tplist.bin of the large download
    std::string line_dir;       // tplist.bin of the run on the emulated line
    std::size_t download_bytes; // what `upgrade` sends in the large download
    int download_frames;        // block frames of the large download
    int mark_delay_ms = 2; // the simulator's answer time: the host's drain time, as in the floor
    // The answer time of the station's receivers: a realistic flash write. The host discards
    // what comes in the 2 ms drain after each frame, and on a loaded machine the drain can
    // begin milliseconds after the frame's last byte has gone out, so an answer that quick is
    // lost now and then and the port stalls (see README.md); the figures about the drain itself
    // use mark_delay_ms.
    int station_mark_delay_ms = 20;
    int line_answers = 0; // the marks a receiver sends in the line download (header, blocks)
    // The wine section, measured only with all three: the wine session script, its state
    // directory (set up by the caller) and the directory of the probes' .exe files.
    std::string wine_session, wine_state, wine_probes;
};

struct DownloadSample {
    bool ok = false;
    std::string why;
    double wall_ms = 0;  // from "start pol ok" (the access string is out) to the exit
    double cpu_ms = 0;   // CPU of `upgrade` over the same span
    double peak_kib = 0; // peak resident memory of `upgrade` (the whole run)
};

struct RawSample {
    bool ok = false;
    std::string why;
    double wall_ms = 0;
    double writer_cpu_ms = 0; // the process that writes into the slave, as `upgrade` does
    double reader_cpu_ms = 0; // the process that reads the master, as the receiver does
};

struct WriteSample {
    bool ok = false;
    std::string why;
    std::vector<int> per_full_block; // write calls on the line for each full block frame
};

struct WaitSample {
    bool ok = false;
    std::string why;
    double cpu_percent = 0;   // of one core, over the measured span
    double wakeups_per_s = 0; // context switches of `upgrade` per second
    double esc_ms = 0;        // ESC pressed at the end of the span until exit
    long long hwm_kib = -1, rss_anon_kib = -1, rss_file_kib = -1; // seen during the span
};

struct EscSample {
    bool ok = false;
    std::string why;
    double esc_ms = 0;
};

struct LineSample {
    bool ok = false;
    std::string why;
    double upgrade_wall_s = 0; // first byte on the line until `upgrade` exits
    double upgrade_line_s = 0; // sum of the bytes' times on the line, both directions
    double zmodem_wall_s = 0;  // sz started until sz and rz both exited
    double zmodem_line_s = 0;
    std::uint64_t upgrade_bytes = 0, zmodem_bytes = 0; // both directions
};

struct EchoSample {
    bool ok = false;
    std::string why;
    double upgrade_cpu_ms = 0; // `upgrade` showing the receiver's text while it waits for a mark
    double cat_cpu_ms = 0;     // `cat` passing the same text between the same kind of ptys
};

struct StationSample {
    bool ok = false;
    std::string why;
    double wall_ms = 0;  // the station started until it ended, every port's download done
    double peak_kib = 0; // peak resident memory of the station
};

struct RecordSample {
    bool ok = false;
    std::string why;
    double plain_cpu_ms = 0;    // the large download as it is
    double recorded_cpu_ms = 0; // the same with /log= and /progress
    double digest_ms = 0;       // SHA-256 of the three image files' bytes, in this process
};

// What wine does where upgrade.exe relies on the system, shown by the probes (bench/wine/).

struct WineKeySample {
    bool ok = false;
    std::string why;
    double first_ms = 0;  // ESC typed on the terminal until the probe has read it, the first key
    double second_ms = 0; // the same for the second key
};

struct WineCommSample {
    bool ok = false;
    std::string why;
    bool waits = false; // WaitCommEvent(EV_RXCHAR) on a quiet line waited its 1.5 s out
    std::string answer; // the probe's words ("timeout", or "ended" with the mask and error)
};

struct WineWriteSample {
    bool ok = false;
    std::string why;
    std::vector<double> late_ms; // per block: its last byte read here until the probe's '!'
};

// How long a key takes through wine's console to a program waiting on the console's input.
WineKeySample run_wine_keys(const Setup& setup);
// Whether wine's WaitCommEvent waits on a quiet line, as Windows' does.
WineCommSample run_wine_comm_event(const Setup& setup);
// How late the end of each of `blocks` overlapped writes of `bytes` reaches the writer.
WineWriteSample run_wine_write_ends(const Setup& setup, int blocks, std::size_t bytes);

// The large download; `extra` goes on its command line.
DownloadSample run_download(const Setup& setup, const std::vector<std::string>& extra = {});
// A station of `ports` ports, each serving one large download from its own simulator.
StationSample run_station(const Setup& setup, int ports);
// A station of `ports` ports, each waiting for a block's mark; ESC, timed to the exit.
EscSample run_station_escape(const Setup& setup, int ports);
struct StationLineSample {
    bool ok = false;
    std::string why;
    double worst_efficiency = 0; // the least efficient line's (line time / wall), percent
    // The same with the receiver's answer time (station_mark_delay_ms after each frame, a time
    // the line must stay quiet) taken out of the wall: what the host makes of the line.
    double worst_host_efficiency = 0;
    double cpu_percent_per_line = 0; // the station's CPU over the downloads, a core's percent
    double cpu_ms_per_line = 0;      // the station's whole CPU (start to exit) / lines
};

// A station of `lines` ports, each on an emulated line at the base speed switching to `baud`,
// each writing the line benchmark's transponder list.
StationLineSample run_station_lines(const Setup& setup, int lines, std::int32_t baud);

struct SeparateLinesSample {
    bool ok = false;
    std::string why;
    double cpu_ms_per_line = 0; // the processes' whole CPU (start to exit) / lines
};

// The same downloads by `lines` one-port `upgrade` processes, one per emulated line.
SeparateLinesSample run_separate_lines(const Setup& setup, int lines, std::int32_t baud);

struct StationUnplugSample {
    bool ok = false;
    std::string why;
    double worst_efficiency = 0, worst_host_efficiency = 0; // the downloads no unplug cut
    double wakeups_per_s = 0; // the station's, while every line waits for its device
    double cpu_percent = 0;   // of a core, over the same span
};

// A station of `lines` ports on emulated lines reached through links; each line's device goes
// away and comes back `unplugs` times (twice in a download, once in the ready loop), then every
// line serves one whole download. The quiet span of `span_ms` is taken while every line waits.
StationUnplugSample run_station_unplugs(const Setup& setup, int lines, std::int32_t baud,
                                        int span_ms);

// A station all day, compressed (bench_day.h): `lines` emulated lines for `minutes`, each
// with receivers that come and go as drawn from `seed`.
struct DayConfig {
    int lines = 32;
    double minutes = 10;
    std::uint64_t seed = 1;
    int sample_ms = 5000;       // the station's memory and descriptors are read this often
    std::int32_t baud = 115200; // the data phase
    std::size_t image_bytes = 0;
    std::uint32_t block_size = 0;
};

struct DaySample {
    bool ok = false;
    std::string why;
    std::vector<std::string> problems; // each thing the station did otherwise than planned
    int lines = 0, visits = 0;
    double wall_s = 0; // the first visit until the last one's end
    // Every download that nothing cut: line time / wall time from its first byte, percent; and
    // the same with the receiver's answer time taken out.
    std::vector<double> efficiency, host_efficiency;
    // Downloads by the result the scenario planned, and by the one the records name.
    std::vector<std::pair<std::string, int>> planned, recorded;
    int records_off_plan = 0; // records whose result is not the planned one, or missing, or extra
    int table_rows_off_plan = 0; // table rows whose counts or last result are not the planned
    int cut_downloads = 0;       // the planned ones
    // The time a cut download's record took beyond what its receiver's silence (up to the
    // bound), its restart or its pulled cable explains: the most of any, and how many beyond 1 s.
    double most_past_bound_s = 0;
    int past_bound_checked = 0; // cut downloads whose time was judged
    int held_past_bound = 0;
    int stuck_visits = 0; // a slot that did not come back within twice the visit's time
    // The station's memory and descriptors, sampled: seconds since the first visit, values. The
    // first sample is taken as the day begins and the last once it is over, both with every
    // port ready and no receiver on it.
    std::vector<double> sample_s, rss_kib, rss_anon_kib, fds;
    std::vector<double> out_kib;     // the station's console output so far
    double cpu_percent_per_line = 0; // the station's CPU over the day, % of a core, per line
    double cpu_ms_per_download = 0;  // ... per download that finished
    double emu_cpu_percent = 0;      // every line emulator together, % of a core
    double sim_cpu_percent = 0;      // every receiver-sim together
    double machine_busy_percent = 0; // both cores, from /proc/stat
    double load_start = 0, load_end = 0, load_max = 0; // 1-minute load average
};

DaySample run_day(const Setup& setup, const DayConfig& config);

// The large download without and then with its record and status line.
RecordSample run_record_cost(const Setup& setup);
// The receiver's text of `text_bytes` through `cat`, then through `upgrade`.
EchoSample run_echo(const Setup& setup, std::size_t text_bytes);
RawSample run_raw_copy(std::size_t bytes);
// The tplist of the large download alone, under strace.
WriteSample count_block_writes(const Setup& setup, std::size_t tplist_size, std::uint32_t block);
WaitSample run_idle(const Setup& setup, int span_ms);
WaitSample run_mark_wait(const Setup& setup, int span_ms);
EscSample run_escape_in_write(const Setup& setup);
LineSample run_line(const Setup& setup, std::int32_t baud);

// Shared by the runs above.

// `upgrade` with its own console and a spare pty for the port it does not use.
struct UpgradeRun {
    Pty console;
    Pty spare;
    Child child;
};

// The group of `run` (its console drained) and `others`.
Group group_of(UpgradeRun& run, const std::vector<Child*>& others = {});

// Starts `upgrade` in `cwd` with COM1 on `com1` (and /port=com1 unless `auto_ports`), COM2 on
// the spare pty, then `args`. Standard error goes to `err_path`. A `prefix` (a tracer and its
// options) runs `upgrade` under it.
bool start_upgrade(const Setup& setup, const std::string& cwd, const std::string& com1,
                   bool auto_ports, const std::vector<std::string>& args, UpgradeRun& run,
                   const std::string& err_path, const std::vector<std::string>& prefix = {});
void close_upgrade(UpgradeRun& run);

// Starts `upgrade` with exactly `args` (the caller maps every port it serves) in `cwd` as the
// child of `run`, on a console of its own; standard error goes to `err_path`.
bool spawn_station(const Setup& setup, const std::string& cwd, const std::vector<std::string>& args,
                   UpgradeRun& run, const std::string& err_path);

// Starts `receiver-sim --pty` with `args` and returns its slave's path in `slave`.
bool start_sim(const Setup& setup, const std::vector<std::string>& args, Child& sim,
               std::string& slave, const std::string& err_path);

// Presses ESC on the console of `run` and waits for the exit; the time in `esc_ms`.
bool press_escape(const Group& group, UpgradeRun& run, double& esc_ms);

// Starts `line-emu` with `args` and returns its side A's slave (the program's) in `a`, side B's
// (the receiver's) in `b`.
bool start_emu(const Setup& setup, const std::vector<std::string>& args, Child& emu, std::string& a,
               std::string& b);
// Waits for the emulator's end (both sides closed, or a signal) and reads the figures it wrote
// to `stats_path`: the line time of every byte both ways, their number, the first byte's time.
bool emu_figures(const Group& group, Child& emu, const std::string& stats_path, double& line_s,
                 std::uint64_t& bytes, long long& first_ns);

} // namespace bench

#endif
