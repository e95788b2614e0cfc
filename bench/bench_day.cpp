// A station all day, compressed: one station of `upgrade` over many emulated lines for minutes,
// each line with receivers that come and go as drawn for it (bench_day_plan.cpp), watched from
// the station's console as a person at the bench would, and judged at the end against its
// records and its table (bench_day_check.cpp).
//
// Each line keeps its emulator while receivers come and go on side B: a receiver is a
// `receiver-sim --device` that ends after its download. The line's figures are taken apart per
// download with the emulator's spans (line-emu, SIGUSR1): one is asked for while the line is
// quiet before a receiver comes, and one as each download ends. A line is pulled by ending its
// emulator and comes back as a new one at the same path, as the station rows of unplugged lines
// do. The benchmark drives every line (bench_day_lines.cpp) from one loop that sleeps until a
// program writes, a program ends or a line's timer is due.

#include "bench_day_lines.h"

#include "driver/record.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fstream>

namespace bench {

namespace {

constexpr int start_ms = 20000; // every port ready after the start

// The 1-minute load average.
double load_average() {
    std::ifstream in("/proc/loadavg");
    double load = -1;
    in >> load;
    return load;
}

// The machine's CPU time so far, busy and in all, in the kernel's ticks.
void machine_ticks(long long& busy, long long& total) {
    std::ifstream in("/proc/stat");
    std::string cpu;
    in >> cpu;
    busy = total = 0;
    long long value = 0;
    for (int i = 0; i < 8 && in >> value; ++i) {
        total += value;
        if (i != 3 && i != 4) // idle, iowait
            busy += value;
    }
}

int open_descriptors(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

// The station on every line, each line's emulator up and its port ready.
bool start_day(Day& day, const std::string& records) {
    const DayConfig& config = day.config;
    std::vector<std::string> args = {"/station", "/baud=" + std::to_string(config.baud),
                                     "/log=" + records, "tplist.bin"};
    day.lines.resize(static_cast<std::size_t>(config.lines));
    for (int i = 0; i < config.lines; ++i) {
        DayLine& line = day.lines[static_cast<std::size_t>(i)];
        line.n = i;
        line.link = day.setup.dir + "/day-com" + std::to_string(i + 1);
        line.random = day_random(config.seed, i);
        if (!plug(day, line))
            return false;
        args.push_back("/com" + std::to_string(i + 1) + "=" + line.link);
    }
    if (!spawn_station(day.setup, day.setup.line_dir, args, day.up, day.setup.dir + "/day.err"))
        return false;
    const Group group = day_group(day);
    const std::int64_t deadline = after_ms(start_ms);
    for (int i = 0; i < config.lines; ++i)
        if (!wait_text(group, day.up.child, (com(i) + ": ready.").c_str(), deadline))
            return false;
    return true;
}

void sample(Day& day, std::int64_t t0, DaySample& r) {
    const pid_t pid = day.up.child.pid;
    r.sample_s.push_back(static_cast<double>(mono_ns() - t0) / 1e9);
    r.rss_kib.push_back(static_cast<double>(status_field(pid, "VmRSS")));
    r.rss_anon_kib.push_back(static_cast<double>(status_field(pid, "RssAnon")));
    r.fds.push_back(open_descriptors(pid));
    r.out_kib.push_back(static_cast<double>(day.up.child.out.data.size()) / 1024);
    r.load_max = std::max(r.load_max, load_average());
}

// Runs the visits until every line's day is over; false when the station ended meanwhile.
bool run_visits(Day& day, DaySample& r) {
    const std::int64_t t0 = mono_ns();
    day.end_ns = t0 + static_cast<std::int64_t>(day.config.minutes * 60e9);
    for (DayLine& line : day.lines)
        begin_visit(day, line, t0);
    std::int64_t sample_ns = t0;
    int minute = 0;
    for (;;) {
        const std::int64_t now = mono_ns();
        if (day.up.child.reaped)
            return false;
        read_station(day, now);
        bool over = true;
        for (DayLine& line : day.lines) {
            read_spans(day, line);
            step(day, line, now);
            over = over && line.phase == Phase::Done;
        }
        if (now >= sample_ns) {
            sample(day, t0, r);
            sample_ns += day.config.sample_ms * 1000000LL;
        }
        if (now - t0 >= (minute + 1) * 60000000000LL) {
            ++minute;
            std::fprintf(stderr, "\r  day: minute %d, %d visits, %zu things off the plan", minute,
                         day.visits, r.problems.size());
            std::fflush(stderr);
        }
        if (over)
            break;
        pump(day_group(day), next_wake(day, now, sample_ns));
    }
    std::fputc('\n', stderr);
    sample(day, t0, r);
    r.wall_s = static_cast<double>(mono_ns() - t0) / 1e9;
    return true;
}

// Ends the station as a service manager would (SIGTERM: it prints its table first) and every
// line's programs with it.
void end_day(Day& day) {
    const Group group = day_group(day);
    if (alive(day.up.child)) {
        kill(day.up.child.pid, SIGTERM);
        wait_exit(group, day.up.child, after_ms(10000));
    }
    finish(group);
    for (DayLine& line : day.lines) {
        retire(line.emu, day.emu_cpu_ms);
        retire(line.sim, day.sim_cpu_ms);
    }
    close_upgrade(day.up);
}

// What the day did, for a person reading the scratch directory (--keep): the station's output
// (day.out), each line's visits with the ends its console showed (day.visits) and the samples
// of the station's memory and descriptors (day.samples).
void write_day_files(const Setup& setup, const std::vector<DayLog>& logs,
                     const std::string& station_out, const DaySample& r) {
    std::ofstream(setup.dir + "/day.out") << station_out;
    std::ofstream samples(setup.dir + "/day.samples");
    samples << "seconds vmrss_kib rssanon_kib fds output_kib\n";
    for (std::size_t i = 0; i < r.sample_s.size(); ++i)
        samples << r.sample_s[i] << ' ' << r.rss_kib[i] << ' ' << r.rss_anon_kib[i] << ' '
                << r.fds[i] << ' ' << r.out_kib[i] << '\n';
    std::ofstream visits(setup.dir + "/day.visits");
    for (std::size_t i = 0; i < logs.size(); ++i) {
        visits << com(static_cast<int>(i)) << (logs[i].broken ? " (given up)" : "") << "\n";
        for (const std::string& visit : logs[i].visits)
            visits << "  visit: " << visit << "\n";
        for (const DayEnding& e : logs[i].endings)
            visits << "  end: " << e.result << " (" << e.what << ")\n";
    }
}

} // namespace

DaySample run_day(const Setup& setup, const DayConfig& config) {
    DaySample r;
    r.lines = config.lines;
    Day day{
        setup,
        config,
        day_shape(config.image_bytes, config.block_size, config.baud, setup.station_mark_delay_ms),
        {},
        {},
        0,
        0,
        0,
        0,
        0,
        0,
        r.problems};
    const std::string records = setup.dir + "/day.jsonl";
    const std::int64_t unix_less_mono_ms = unix_ms_now() - mono_ns() / 1000000;
    if (!start_day(day, records)) {
        r.why = "could not start the station on every line";
        end_day(day);
        return r;
    }
    long long busy0 = 0, total0 = 0, busy1 = 0, total1 = 0;
    machine_ticks(busy0, total0);
    r.load_start = load_average();
    const std::int64_t cpu0 = process_cpu_ns(day.up.child.pid);
    const bool ran = run_visits(day, r);
    const std::int64_t cpu1 = process_cpu_ns(day.up.child.pid);
    machine_ticks(busy1, total1);
    r.load_end = load_average();
    r.visits = day.visits;
    r.stuck_visits = day.stuck;
    end_day(day);
    if (!ran) {
        r.why = "the station ended during the day; its last words: " +
                day.up.child.out.data.substr(
                    day.up.child.out.data.size() > 300 ? day.up.child.out.data.size() - 300 : 0);
        return r;
    }
    std::vector<DayLog> logs;
    for (const DayLine& line : day.lines)
        logs.push_back(line.log);
    write_day_files(setup, logs, day.up.child.out.data, r);
    check_day(day.shape, logs, records, day.up.child.out.data, unix_less_mono_ms, r);
    const double station_ms = static_cast<double>(cpu1 - cpu0) / 1e6;
    const double wall_ms = r.wall_s * 1000;
    r.cpu_percent_per_line = station_ms / wall_ms * 100 / config.lines;
    int finished = 0;
    for (const auto& [result, count] : r.recorded)
        if (result == "finished")
            finished = count;
    r.cpu_ms_per_download = finished > 0 ? station_ms / finished : 0;
    r.emu_cpu_percent = day.emu_cpu_ms / wall_ms * 100;
    r.sim_cpu_percent = day.sim_cpu_ms / wall_ms * 100;
    r.machine_busy_percent = total1 > total0 ? static_cast<double>(busy1 - busy0) /
                                                   static_cast<double>(total1 - total0) * 100
                                             : 0;
    r.ok = r.why.empty();
    return r;
}

} // namespace bench
