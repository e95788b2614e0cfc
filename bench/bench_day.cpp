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
// do. The benchmark drives every line from one loop that sleeps until a program writes, a
// program ends or a line's timer is due.

#include "bench_day.h"
#include "bench_runs.h"

#include "driver/record.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <dirent.h>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

constexpr int stuck_slack_s = 60; // beyond twice a visit's time, before its slot counts as stuck
constexpr int start_ms = 20000;   // every port ready after the start

enum class Phase {
    Gap,       // the slot is ready; the visit begins after its gap
    Opening,   // the line's figures are asked for; the receiver comes once they are read
    Serving,   // the receiver is on the line
    Pulled,    // the emulator was ended: until the port has said so and the line has been away
    Returning, // a new emulator at the same path: until the port has it again and is ready
    Done,      // the line's day is over
};

struct DayLine {
    int n = 0;        // 0 for COM1
    std::string link; // the port's device: the emulator's link to its side A
    std::string receiver_side;
    Child emu, sim;
    std::size_t emu_read = 0; // the emulator's output taken so far
    std::deque<int> spans;    // the endings the emulator's next spans belong to (-1: none)
    DayRandom random;
    Visit visit;
    Phase phase = Phase::Gap;
    std::int64_t due_ns = -1;       // the phase's timer, -1: none
    std::int64_t cut_ns = -1;       // when the line is pulled in the download, -1: not planned
    std::int64_t deadline_ns = 0;   // the visit is over by then, or its slot is stuck
    std::size_t visit_endings = 0;  // log.endings.size() when the visit began
    bool ended_since_ready = false; // a download's end was seen since the slot was last ready
    bool idle = true;               // the port's last words were "ready.": no download runs
    bool started = false;           // "start pol ok" in the current download
    int block_lines = 0;            // "crc = " lines in the current download
    bool gone = false, appeared = false;
    bool sim_checked = false;
    std::int64_t pulled_ns = 0;
    DayLog log;
};

struct Day {
    const Setup& setup;
    const DayConfig& config;
    DayShape shape;
    std::vector<DayLine> lines; // sized once: the group points into it
    UpgradeRun up;
    std::size_t out_read = 0;
    std::int64_t end_ns = 0; // no visit begins that would end later
    double emu_cpu_ms = 0, sim_cpu_ms = 0;
    int visits = 0, stuck = 0;
    std::vector<std::string>& problems;
};

std::string com(int n) {
    return "COM" + std::to_string(n + 1);
}

void note(Day& day, const DayLine& line, const std::string& text) {
    day.problems.push_back(com(line.n) + ": " + text);
}

// Ends `child` if it still runs and adds its CPU time to `cpu_ms`; the place is free again.
void retire(Child& child, double& cpu_ms) {
    if (child.pid <= 0)
        return;
    toolkit::kill_and_reap(child);
    if (child.cpu_ns > 0)
        cpu_ms += static_cast<double>(child.cpu_ns) / 1e6;
    child = Child{};
}

bool alive(const Child& child) {
    return child.pid > 0 && !child.reaped;
}

void ask_span(DayLine& line, int ending) {
    if (!alive(line.emu))
        return;
    line.spans.push_back(ending);
    kill(line.emu.pid, SIGUSR1);
}

bool plug(Day& day, DayLine& line) {
    const int timeout_s = static_cast<int>(day.config.minutes * 60) + 900;
    std::string host_side;
    line.emu_read = 0;
    line.spans.clear();
    return start_emu(day.setup, {"--link-a", line.link, "--timeout", std::to_string(timeout_s)},
                     line.emu, host_side, line.receiver_side);
}

bool start_receiver(Day& day, DayLine& line) {
    Launch launch;
    launch.argv = {day.setup.sim,
                   "--device",
                   line.receiver_side,
                   "--delay",
                   std::to_string(line.visit.delay_ms),
                   "--mark-delay-ms",
                   std::to_string(day.shape.mark_delay_ms),
                   "--timeout",
                   std::to_string(2 * line.visit.estimate_s + stuck_slack_s)};
    launch.argv.insert(launch.argv.end(), line.visit.receiver.begin(), line.visit.receiver.end());
    launch.err = err_to(day.setup.dir + "/day." + com(line.n) + ".visit" +
                        std::to_string(line.log.visits.size()) + ".err");
    if (line.visit.kind != VisitKind::Whole)
        launch.argv.push_back("--verbose");
    line.sim_checked = false;
    return toolkit::spawn(launch, line.sim);
}

void begin_visit(Day& day, DayLine& line, std::int64_t now) {
    line.visit = next_visit(line.random, day.shape);
    const std::int64_t length_ns =
        (std::int64_t{line.visit.gap_ms} + line.visit.estimate_s * 1000LL) * 1000000;
    if (now + length_ns > day.end_ns) {
        line.phase = Phase::Done;
        return;
    }
    ++day.visits;
    line.phase = Phase::Gap;
    line.due_ns = now + line.visit.gap_ms * 1000000LL;
    line.cut_ns = -1;
    line.deadline_ns = now + length_ns + (line.visit.estimate_s + stuck_slack_s) * 1000000000LL;
    line.visit_endings = line.log.endings.size();
    line.log.planned.insert(line.log.planned.end(), line.visit.results.begin(),
                            line.visit.results.end());
    std::string words = line.visit.what + ":";
    for (const std::string& result : line.visit.results)
        words += " " + result;
    line.log.visits.push_back(words);
}

// The emulator goes, with the receiver on it: its link is removed and side A closed.
void pull(Day& day, DayLine& line, std::int64_t now) {
    kill(line.emu.pid, SIGTERM);
    retire(line.sim, day.sim_cpu_ms);
    line.spans.clear();
    line.pulled_ns = now;
    line.gone = false;
    line.due_ns = -1;
    line.cut_ns = -1;
    ++line.log.unplugs;
    line.phase = Phase::Pulled;
}

void on_ending(Day& day, DayLine& line, const std::string& result, std::int64_t now) {
    (void)day;
    DayEnding ending;
    ending.result = result;
    ending.seen_ns = now;
    ending.quiet_ms = line.visit.quiet_ms;
    ending.what = line.visit.what;
    if (result == "line_lost")
        ending.cut_ns = line.pulled_ns;
    line.log.endings.push_back(ending);
    line.ended_since_ready = true;
    line.started = false;
    // The download's figures, and a new span for what follows: the receiver's next download
    // after it started again, or nothing until the next receiver.
    if (line.phase == Phase::Serving)
        ask_span(line, static_cast<int>(line.log.endings.size()) - 1);
}

// Reads one line of the port's console text.
void on_text(Day& day, DayLine& line, const std::string& text, std::int64_t now) {
    auto has = [&](const char* words) { return text.find(words) != std::string::npos; };
    // Whatever a port says after "ready." belongs to a download (the next receiver's, or the
    // same receiver's again after it started again), until "ready." comes again.
    line.idle = text == "ready.";
    if (text == "ready.") {
        line.ended_since_ready = false;
        if (line.phase == Phase::Returning && line.appeared)
            begin_visit(day, line, now);
    } else if (text == "start pol ok") {
        line.started = true;
        line.block_lines = 0;
    } else if (text.rfind("crc = ", 0) == 0) {
        ++line.block_lines;
    } else if (has("Error : no answer from the receiver on ")) {
        on_ending(day, line, "no_answer", now);
    } else if (has("Error : the receiver on ") && has(" started again")) {
        on_ending(day, line, "restarted", now);
    } else if (has("Error : the serial line on ")) {
        line.gone = true;
        if (line.visit.kind != VisitKind::UnplugIdle || line.phase == Phase::Serving)
            on_ending(day, line, "line_lost", now);
    } else if (text.rfind("received data = ", 0) == 0 || text.rfind("crc error my = ", 0) == 0 ||
               text.rfind("Error : ", 0) == 0) {
        on_ending(day, line, "failed", now);
    } else if (text == "change speed --> 57600" && !line.ended_since_ready) {
        on_ending(day, line, "finished", now);
    } else if (text == "next......" && !line.ended_since_ready) {
        on_ending(day, line, "failed", now); // a failure the benchmark has no words for
    } else if (text.size() > 10 && text.compare(text.size() - 10, 10, " appeared.") == 0) {
        line.appeared = true;
    }
}

// The station's new whole lines, each given to its port's line.
void read_station(Day& day, std::int64_t now) {
    std::string& out = day.up.child.out.data;
    for (std::size_t end; (end = out.find('\n', day.out_read)) != std::string::npos;) {
        std::string text = out.substr(day.out_read, end - day.out_read);
        day.out_read = end + 1;
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        int number = 0, used = 0;
        if (std::sscanf(text.c_str(), "COM%d: %n", &number, &used) != 1 || used == 0 ||
            number < 1 || number > static_cast<int>(day.lines.size()))
            continue;
        on_text(day, day.lines[static_cast<std::size_t>(number - 1)], text.substr(used), now);
    }
}

// The emulator's span lines, each given to the ending it was asked for.
void read_spans(Day& day, DayLine& line) {
    std::string& out = line.emu.out.data;
    for (std::size_t end; (end = out.find('\n', line.emu_read)) != std::string::npos;) {
        std::istringstream words(out.substr(line.emu_read, end - line.emu_read));
        line.emu_read = end + 1;
        std::string key;
        long long value = 0;
        words >> key >> value;
        if (key != "span" || line.spans.empty())
            continue;
        DayEnding scratch;
        const int ending = line.spans.front();
        line.spans.pop_front();
        DayEnding& e = ending >= 0 ? line.log.endings[static_cast<std::size_t>(ending)] : scratch;
        long long line_ns = 0;
        while (words >> key >> value) {
            if (key == "first_byte_ns")
                e.first_ns = value;
            else if (key == "a_to_b_line_ns" || key == "b_to_a_line_ns")
                line_ns += value;
        }
        e.line_s = static_cast<double>(line_ns) / 1e9;
        e.spanned = true;
        if (ending < 0 && line.phase == Phase::Opening) {
            if (start_receiver(day, line))
                line.phase = Phase::Serving;
            else
                note(day, line, "the receiver of \"" + line.visit.what + "\" did not start");
        }
    }
}

// The receiver's part is over once it made its records, or left after some, and the slot is
// ready again; a receiver that left without a download is given a few seconds to be heard.
bool receiver_done(Day& day, DayLine& line, std::int64_t now) {
    const std::size_t made = line.log.endings.size() - line.visit_endings;
    if (made > 0 && line.idle && (made >= line.visit.results.size() || !alive(line.sim)))
        return true;
    if (made > 0 || alive(line.sim) || now - line.sim.ended_ns < 10000000000LL)
        return false;
    note(day, line, "the receiver of \"" + line.visit.what + "\" left without a download");
    return true;
}

void check_receiver(Day& day, DayLine& line) {
    if (line.sim_checked || line.sim.pid <= 0 || !line.sim.reaped)
        return;
    line.sim_checked = true;
    const bool downloads = line.visit.kind == VisitKind::Whole ||
                           line.visit.kind == VisitKind::Restart ||
                           line.visit.kind == VisitKind::LongSilence;
    if (downloads && line.sim.status != 0)
        note(day, line,
             "the receiver of \"" + line.visit.what + "\" ended with status " +
                 std::to_string(line.sim.status) + " (day." + com(line.n) + ".visit" +
                 std::to_string(line.log.visits.size()) + ".err)");
}

void step(Day& day, DayLine& line, std::int64_t now) {
    check_receiver(day, line);
    if (line.phase == Phase::Done)
        return;
    if (now > line.deadline_ns) {
        ++day.stuck;
        note(day, line, "the slot did not come back from \"" + line.visit.what + "\"");
        line.log.broken = true;
        retire(line.sim, day.sim_cpu_ms);
        line.phase = Phase::Done;
        return;
    }
    switch (line.phase) {
    case Phase::Gap:
        // Two signals pending at once are one: the next span is asked for once the last came.
        if (now < line.due_ns || !line.spans.empty())
            break;
        if (line.visit.kind == VisitKind::UnplugIdle) {
            pull(day, line, now);
        } else {
            line.phase = Phase::Opening;
            ask_span(line, -1);
        }
        break;
    case Phase::Serving:
        if (line.visit.kind == VisitKind::UnplugInDownload && line.cut_ns < 0 && line.started &&
            line.block_lines >= line.visit.cut_after)
            line.cut_ns = now + line.visit.cut_ms * 1000000LL;
        if (line.cut_ns >= 0 && now >= line.cut_ns &&
            line.log.endings.size() == line.visit_endings) {
            pull(day, line, now);
            break;
        }
        if (receiver_done(day, line, now)) {
            retire(line.sim, day.sim_cpu_ms);
            begin_visit(day, line, now);
        }
        break;
    case Phase::Pulled:
        if (!line.gone || alive(line.emu))
            break;
        if (line.due_ns < 0)
            line.due_ns = now + line.visit.away_ms * 1000000LL;
        if (now < line.due_ns)
            break;
        retire(line.emu, day.emu_cpu_ms);
        line.appeared = false;
        if (!plug(day, line)) {
            note(day, line, "the line could not be plugged in again");
            line.log.broken = true;
            line.phase = Phase::Done;
        } else {
            line.phase = Phase::Returning;
        }
        break;
    case Phase::Opening:
    case Phase::Returning:
    case Phase::Done:
        break;
    }
}

std::int64_t next_wake(const Day& day, std::int64_t now, std::int64_t sample_ns) {
    std::int64_t wake = std::min<std::int64_t>(sample_ns, now + 1000000000LL);
    for (const DayLine& line : day.lines) {
        if (line.phase == Phase::Done)
            continue;
        for (std::int64_t t : {line.due_ns, line.cut_ns, line.deadline_ns})
            if (t >= 0)
                wake = std::min(wake, t);
        if (line.phase == Phase::Serving && line.visit.kind == VisitKind::UnplugInDownload &&
            line.cut_ns < 0 && line.started)
            wake = std::min<std::int64_t>(
                wake, now + 10000000LL); // the cut's moment is set from the text
    }
    return std::max(wake, now);
}

Group day_group(Day& day) {
    Group group = group_of(day.up);
    for (DayLine& line : day.lines)
        for (Child* child : {&line.emu, &line.sim})
            if (child->pid > 0)
                group.children.push_back(child);
    return group;
}

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
// (day.out) and each line's visits with the ends its console showed (day.visits).
void write_day_files(const Setup& setup, const std::vector<DayLog>& logs,
                     const std::string& station_out) {
    std::ofstream(setup.dir + "/day.out") << station_out;
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
    write_day_files(setup, logs, day.up.child.out.data);
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
