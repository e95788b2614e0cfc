// upgrade-bench: measures a whole upgrade against the limits of its link, on this machine, in
// one run, and prints a table of every figure beside its target (and writes it as JSON).
//
//   upgrade-bench --upgrade PATH --sim PATH --emu PATH [--json FILE] [--runs N]
//                 [--wait-runs N] [--line-runs N] [--span-ms MS] [--mark-delay-ms MS] [--keep]
//                 [--only download|writes|idle|mark|esc|echo|line|station|lines|unplug|record|
//                         wine|day]
//                 [--wine-session PATH --wine-state DIR --wine-probes DIR]
//                 [--day-minutes M] [--day-lines N] [--seed N]
//
// The wine section runs only with the three --wine- options: the wine session script, its state
// directory (set up by the caller) and the directory of the probes built for Windows. The
// station all day (day) runs only when --only names it: it takes its minutes (10 by default)
// and the tail of its last visits, with the 16-line station row beside it for its CPU.
//
// Figures are medians of several runs with their range; a ratio is taken within each pair of
// runs made side by side (a download and the raw copy just before it), then its median.

#include "bench_report.h"
#include "bench_runs.h"
#include "helpers/images.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

constexpr std::uint32_t block_size = 51200;
constexpr std::size_t frame_size = block_size + 16;
constexpr std::size_t host_skip = 65536;     // rom.bin's first 64 KiB are never sent
constexpr std::size_t host_bytes = 983040;   // the whole host region
constexpr std::size_t font_bytes = 720896;   // the whole font region
constexpr std::size_t tplist_bytes = 327680; // up to the end of the 2 MiB flash
constexpr std::size_t line_tplist_bytes = 204800;
constexpr std::int32_t line_baud = 115200;
constexpr std::size_t echo_bytes = 1048576; // receiver text for the echo figure
constexpr int station_ports = 8;            // downloads at once in the station figure
constexpr int station_escape_ports = 16;    // busy ports when ESC is pressed
constexpr int station_lines = 16;           // emulated lines served at once
constexpr int unplug_span_ms = 2000;        // quiet span while every unplugged line waits
constexpr int wine_blocks = 200;            // overlapped writes in a run of the wine section
constexpr int day_lines = 32;               // emulated lines of the station all day
constexpr double day_minutes = 10;

struct Args {
    Setup setup;
    std::string json;
    int runs = 5, wait_runs = 3, line_runs = 3, span_ms = 5000;
    bool keep = false;
    std::string only; // one group of runs: download, writes, idle, mark, esc, echo, line
    DayConfig day = {day_lines, day_minutes};
};

bool write_image(const std::string& path, std::size_t size, std::uint32_t seed) {
    return helpers::write_file(path, helpers::image_bytes(size, seed));
}

int frames_of(std::size_t size) {
    return static_cast<int>((size + block_size - 1) / block_size);
}

bool prepare(Setup& s) {
    char scratch[] = "/tmp/upgrade-bench.XXXXXX";
    if (!mkdtemp(scratch))
        return false;
    s.dir = scratch;
    s.download_dir = s.dir + "/download";
    s.line_dir = s.dir + "/line";
    mkdir(s.download_dir.c_str(), 0755);
    mkdir(s.line_dir.c_str(), 0755);
    s.download_frames = frames_of(host_bytes) + frames_of(font_bytes) + frames_of(tplist_bytes);
    s.download_bytes = 15 + 52 + frame_size * static_cast<std::size_t>(s.download_frames);
    s.line_answers = frames_of(line_tplist_bytes) + 1; // a mark after the header and each block
    return write_image(s.download_dir + "/rom.bin", host_skip + host_bytes, 1) &&
           write_image(s.download_dir + "/font.bin", font_bytes, 2) &&
           write_image(s.download_dir + "/tplist.bin", tplist_bytes, 3) &&
           write_image(s.line_dir + "/tplist.bin", line_tplist_bytes, 4);
}

std::string on_path(const char* name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        std::size_t end = dirs.find(':', at);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = end + 1;
    }
    return {};
}

bool parse(int argc, char** argv, Args& a) {
    for (int i = 1; i < argc; ++i) {
        std::string k = argv[i];
        if (k == "--keep") {
            a.keep = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        std::string v = argv[++i];
        if (k == "--upgrade")
            a.setup.upgrade = v;
        else if (k == "--sim")
            a.setup.sim = v;
        else if (k == "--emu")
            a.setup.emu = v;
        else if (k == "--json")
            a.json = v;
        else if (k == "--runs")
            a.runs = std::atoi(v.c_str());
        else if (k == "--wait-runs")
            a.wait_runs = std::atoi(v.c_str());
        else if (k == "--line-runs")
            a.line_runs = std::atoi(v.c_str());
        else if (k == "--span-ms")
            a.span_ms = std::atoi(v.c_str());
        else if (k == "--mark-delay-ms")
            a.setup.mark_delay_ms = std::atoi(v.c_str());
        else if (k == "--only")
            a.only = v;
        else if (k == "--wine-session")
            a.setup.wine_session = v;
        else if (k == "--wine-state")
            a.setup.wine_state = v;
        else if (k == "--wine-probes")
            a.setup.wine_probes = v;
        else if (k == "--day-minutes")
            a.day.minutes = std::atof(v.c_str());
        else if (k == "--day-lines")
            a.day.lines = std::atoi(v.c_str());
        else if (k == "--seed")
            a.day.seed = std::strtoull(v.c_str(), nullptr, 10);
        else
            return false;
    }
    a.setup.strace = on_path("strace");
    a.setup.sz = on_path("sz");
    a.setup.rz = on_path("rz");
    a.setup.cat = on_path("cat");
    return !a.setup.upgrade.empty() && !a.setup.sim.empty() && !a.setup.emu.empty() && a.runs > 0 &&
           a.wait_runs > 0 && a.line_runs > 0 && a.span_ms > 0 && a.day.minutes > 0 &&
           a.day.lines > 0 && a.day.lines <= 32;
}

void progress(const char* what, int i, int n) {
    std::fprintf(stderr, "\r  %-34s %d/%d", what, i + 1, n);
    std::fflush(stderr);
    if (i + 1 == n)
        std::fputc('\n', stderr);
}

// --only takes one group or several, separated by commas.
bool wanted(const Args& a, const char* group) {
    if (a.only.empty())
        return true;
    const std::size_t length = std::strlen(group);
    for (std::size_t at = 0; at <= a.only.size();) {
        std::size_t end = a.only.find(',', at);
        if (end == std::string::npos)
            end = a.only.size();
        if (end - at == length && a.only.compare(at, length, group) == 0)
            return true;
        at = end + 1;
    }
    return false;
}

void measure(const Args& a, Samples& out) {
    const Setup& s = a.setup;
    for (int i = 0; i < a.runs && wanted(a, "download"); ++i) {
        progress("download 2 MiB + raw pty copy", i, a.runs);
        out.raw.push_back(run_raw_copy(s.download_bytes));
        out.download.push_back(run_download(s));
    }
    for (int i = 0; i < 3 && !s.strace.empty() && wanted(a, "writes"); ++i) {
        progress("write calls per block (strace)", i, 3);
        out.writes.push_back(count_block_writes(s, tplist_bytes, block_size));
    }
    for (int i = 0; i < a.wait_runs && wanted(a, "idle"); ++i) {
        progress("idle in the ready loop", i, a.wait_runs);
        out.idle.push_back(run_idle(s, a.span_ms));
    }
    for (int i = 0; i < a.wait_runs && wanted(a, "mark"); ++i) {
        progress("waiting for a block's mark", i, a.wait_runs);
        out.mark.push_back(run_mark_wait(s, a.span_ms));
    }
    for (int i = 0; i < a.runs && wanted(a, "esc"); ++i) {
        progress("ESC in a blocked block write", i, a.runs);
        out.escape.push_back(run_escape_in_write(s));
    }
    for (int i = 0; i < a.runs && !s.cat.empty() && wanted(a, "echo"); ++i) {
        progress("receiver text echoed, and cat", i, a.runs);
        out.echo.push_back(run_echo(s, echo_bytes));
    }
    for (int i = 0; i < a.runs && wanted(a, "station"); ++i) {
        progress("station: one port, then several", i, a.runs);
        out.station_one.push_back(run_station(s, 1));
        out.station_many.push_back(run_station(s, station_ports));
    }
    for (int i = 0; i < a.runs && wanted(a, "station"); ++i) {
        progress("station: ESC with every port busy", i, a.runs);
        out.station_escape.push_back(run_station_escape(s, station_escape_ports));
    }
    for (int i = 0; i < a.line_runs && wanted(a, "lines"); ++i) {
        progress("station, then one-port programs, on lines", i, a.line_runs);
        out.station_lines.push_back(run_station_lines(s, station_lines, line_baud));
        out.separate_lines.push_back(run_separate_lines(s, station_lines, line_baud));
    }
    for (int i = 0; i < a.line_runs && wanted(a, "unplug"); ++i) {
        progress("station on lines unplugged 3 times", i, a.line_runs);
        out.station_unplugs.push_back(
            run_station_unplugs(s, station_lines, line_baud, std::min(a.span_ms, unplug_span_ms)));
    }
    for (int i = 0; i < a.runs && wanted(a, "record"); ++i) {
        progress("record and status line, side by side", i, a.runs);
        out.record.push_back(run_record_cost(s));
    }
    for (int i = 0; i < a.line_runs && !s.sz.empty() && !s.rz.empty() && wanted(a, "line"); ++i) {
        progress("emulated line: upgrade, ZMODEM", i, a.line_runs);
        out.line.push_back(run_line(s, line_baud));
    }
    const bool wine = !s.wine_session.empty() && !s.wine_state.empty() && !s.wine_probes.empty();
    for (int i = 0; i < a.runs && wine && wanted(a, "wine"); ++i) {
        progress("wine: a key through its console", i, a.runs);
        out.wine_keys.push_back(run_wine_keys(s));
    }
    for (int i = 0; i < a.wait_runs && wine && wanted(a, "wine"); ++i) {
        progress("wine: a comm-event wait, overlapped writes", i, a.wait_runs);
        out.wine_comm.push_back(run_wine_comm_event(s));
        out.wine_writes.push_back(run_wine_write_ends(s, wine_blocks, frame_size));
    }
    if (!a.only.empty() && wanted(a, "day")) {
        progress("day: the 16-line station row beside it", 0, 1);
        out.day_reference.push_back(run_station_lines(s, station_lines, line_baud));
        std::fprintf(stderr, "  day: %d lines for %g min, seed %llu\n", a.day.lines, a.day.minutes,
                     static_cast<unsigned long long>(a.day.seed));
        out.day.push_back(run_day(s, a.day));
    }
}

} // namespace

int main(int argc, char** argv) {
    Args a;
    if (!parse(argc, argv, a)) {
        std::fputs("usage: upgrade-bench --upgrade PATH --sim PATH --emu PATH [--json FILE]\n"
                   "       [--runs N] [--wait-runs N] [--line-runs N] [--span-ms MS]\n"
                   "       [--mark-delay-ms MS] [--keep]\n"
                   "       [--only download|writes|idle|mark|esc|echo|line|station|lines|unplug|"
                   "record|wine|day, or several separated by commas]\n"
                   "       [--wine-session PATH --wine-state DIR --wine-probes DIR]\n"
                   "       [--day-minutes M] [--day-lines N (1 to 32)] [--seed N]\n",
                   stderr);
        return 2;
    }
    a.day.image_bytes = line_tplist_bytes;
    a.day.block_size = block_size;
    a.day.baud = line_baud;
    if (!prepare(a.setup)) {
        std::fprintf(stderr, "upgrade-bench: cannot prepare the images in /tmp\n");
        return 2;
    }
    if (a.setup.strace.empty() || a.setup.sz.empty())
        std::fprintf(stderr, "upgrade-bench: strace or lrzsz (sz, rz) missing: "
                             "their figures are left out\n");
    std::fprintf(stderr, "upgrade-bench: scratch directory %s\n", a.setup.dir.c_str());
    Samples samples;
    Plan plan{a.setup.download_bytes,
              a.setup.download_frames,
              a.setup.mark_delay_ms,
              line_baud,
              line_tplist_bytes,
              a.span_ms,
              echo_bytes,
              station_ports,
              station_escape_ports,
              station_lines,
              a.setup.station_mark_delay_ms,
              wine_blocks,
              frame_size,
              a.day.lines,
              a.day.minutes};
    measure(a, samples);
    Report report = build_report(plan, samples);
    print_report(report, stdout);
    if (!a.json.empty() && !write_json(report, a.json))
        std::fprintf(stderr, "upgrade-bench: cannot write %s\n", a.json.c_str());
    if (!a.keep)
        std::system(("rm -rf '" + a.setup.dir + "'").c_str());
    return report.all_measured ? 0 : 1;
}
