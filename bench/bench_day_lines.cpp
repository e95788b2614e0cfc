// The lines of the station all day, one state each, driven from the run's loop (bench_day.cpp):
// a line reads its port's words on the station's console and its emulator's spans, and at each
// turn of the loop starts, pulls, plugs in or ends what its visit calls for.
//
// A visit begins once the slot is ready: after its gap the line's figures are asked for (a span
// while the line is quiet) and the receiver starts once they came, or the line is pulled. The
// visit is over once the receiver made the records it was to make (or left) and the port is
// ready again, or once the pulled line is back and its port ready.

#include "bench_day_lines.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sstream>

namespace bench {

namespace {

constexpr int stuck_slack_s = 60; // beyond twice a visit's time, before its slot counts as stuck

} // namespace

std::string com(int n) {
    return "COM" + std::to_string(n + 1);
}

namespace {

void note(Day& day, const DayLine& line, const std::string& text) {
    day.problems.push_back(com(line.n) + ": " + text);
}

} // namespace

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

namespace {

void ask_span(DayLine& line, int ending) {
    if (!alive(line.emu))
        return;
    line.spans.push_back(ending);
    kill(line.emu.pid, SIGUSR1);
}

} // namespace

bool plug(Day& day, DayLine& line) {
    const int timeout_s = static_cast<int>(day.config.minutes * 60) + 900;
    std::string host_side;
    line.emu_read = 0;
    line.spans.clear();
    return start_emu(day.setup, {"--link-a", line.link, "--timeout", std::to_string(timeout_s)},
                     line.emu, host_side, line.receiver_side);
}

namespace {

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

} // namespace

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

namespace {

// The emulator goes, with the receiver on it: its link is removed and side A closed.
void pull(Day& day, DayLine& line, std::int64_t now) {
    if (alive(line.emu))
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

void on_ending(DayLine& line, const std::string& result, std::int64_t now) {
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
        on_ending(line, "no_answer", now);
    } else if (has("Error : the receiver on ") && has(" started again")) {
        on_ending(line, "restarted", now);
    } else if (has("Error : the serial line on ")) {
        line.gone = true;
        if (line.visit.kind != VisitKind::UnplugIdle || line.phase == Phase::Serving)
            on_ending(line, "line_lost", now);
    } else if (text.rfind("received data = ", 0) == 0 || text.rfind("crc error my = ", 0) == 0 ||
               text.rfind("Error : ", 0) == 0) {
        on_ending(line, "failed", now);
    } else if (text == "change speed --> 57600" && !line.ended_since_ready) {
        on_ending(line, "finished", now);
    } else if (text == "next......" && !line.ended_since_ready) {
        on_ending(line, "failed", now); // a failure the benchmark has no words for
    } else if (text.size() > 10 && text.compare(text.size() - 10, 10, " appeared.") == 0) {
        line.appeared = true;
    }
}

} // namespace

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
        on_text(day, day.lines[static_cast<std::size_t>(number - 1)],
                text.substr(static_cast<std::size_t>(used)), now);
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

namespace {

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

} // namespace

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

} // namespace bench
