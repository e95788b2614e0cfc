// The station on emulated serial lines at their real speed: many downloads at once, the same
// downloads by as many one-port processes, and lines whose devices go away and come back.
//
// Every line is a `line-emu` between the program's pseudo-terminal (side A) and the simulated
// receiver's (side B). A line is unplugged by ending its emulator: its link is removed and its
// side A's master closed, as a USB adapter pulled out takes its device node with it. A new
// emulator with the same `--link-a` is the adapter plugged in again, and a new simulator on its
// side B the next receiver.

#include "bench_runs.h"

#include <algorithm>
#include <csignal>
#include <sstream>

namespace bench {

namespace {

// After every line has said its device is gone, before the quiet span: a line looks at its
// path once more a second after the loss (what is still there may be the node of the device
// that went), then sleeps until its folder changes.
constexpr int settle_ms = 1500;

std::string com(int i) {
    return "COM" + std::to_string(i + 1);
}

// A receiver on side B of a line: one download, answering each frame after the station's
// answer time.
bool start_receiver(const Setup& setup, const std::string& device, Child& sim) {
    Launch launch;
    launch.argv = {setup.sim,
                   "--device",
                   device,
                   "--delay",
                   "20",
                   "--mark-delay-ms",
                   std::to_string(setup.station_mark_delay_ms),
                   "--timeout",
                   "120"};
    launch.err = err_to(setup.dir + "/lines.sim.err");
    return toolkit::spawn(launch, sim);
}

// Waits for `text` behind every port's name, at or after byte `from` of the station's output.
bool wait_every_port(const Group& group, Child& station, int lines, const std::string& text,
                     std::size_t from, int budget_ms,
                     std::vector<std::int64_t>* seen_ns = nullptr) {
    const std::int64_t deadline = after_ms(budget_ms);
    for (int i = 0; i < lines; ++i) {
        std::int64_t seen = 0;
        if (!wait_text(group, station, (com(i) + ": " + text).c_str(), deadline, &seen, from))
            return false;
        if (seen_ns)
            (*seen_ns)[static_cast<std::size_t>(i)] = seen;
    }
    return true;
}

// The least efficient of the lines whose downloads ended at `done_ns`, each once its receiver
// `sims[i]` has ended: the line time on its emulator `emus[i]` (figures in `stats[i]`) over the
// wall time from its first byte, in `worst`; in `worst_host` the same with the receiver's
// answer time taken out. What went wrong, or empty.
std::string worst_lines(const Setup& setup, const Group& group, Child* sims, Child* emus,
                        const std::vector<std::string>& stats,
                        const std::vector<std::int64_t>& done_ns, double& worst,
                        double& worst_host) {
    const double answers_s = setup.line_answers * setup.station_mark_delay_ms / 1000.0;
    worst = worst_host = 100.0;
    for (std::size_t i = 0; i < stats.size(); ++i) {
        wait_exit(group, sims[i], after_ms(5000));
        double line_s = 0;
        std::uint64_t bytes = 0;
        long long first_ns = 0;
        if (!emu_figures(group, emus[i], stats[i], line_s, bytes, first_ns))
            return "line-emu gave no figures";
        const double wall_s = static_cast<double>(done_ns[i] - first_ns) / 1e9;
        worst = std::min(worst, line_s / wall_s * 100.0);
        worst_host = std::min(worst_host, line_s / (wall_s - answers_s) * 100.0);
    }
    return {};
}

std::string tail(const std::string& out) {
    return out.substr(out.size() > 300 ? out.size() - 300 : 0);
}

// Ends the station with ESC; the table's rows give each port's finished downloads and unplugs.
struct TableRow {
    int finished = -1, failed = -1, unplugged = -1;
};

TableRow table_row(const std::string& out, int i) {
    TableRow row;
    const std::size_t table = out.rfind("\nport   device");
    if (table == std::string::npos)
        return row;
    std::istringstream lines(out.substr(table + 1));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string name, device;
        if (words >> name >> device && name == com(i)) {
            words >> row.finished >> row.failed >> row.unplugged;
            break;
        }
    }
    return row;
}

} // namespace

StationLineSample run_station_lines(const Setup& setup, int lines, std::int32_t baud) {
    StationLineSample r;
    std::vector<Child> emus(static_cast<std::size_t>(lines)), sims(emus.size());
    std::vector<std::string> receiver_sides(emus.size()), stats(emus.size());
    UpgradeRun up;
    Group group = group_of(up);
    std::vector<std::string> station = {"/station", "/baud=" + std::to_string(baud), "tplist.bin"};
    bool started = true;
    for (int i = 0; i < lines && started; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        Child& emu = emus[k];
        std::string host_side;
        stats[k] = setup.dir + "/lines" + std::to_string(i) + ".stats";
        started = start_emu(setup, {"--stats", stats[k]}, emu, host_side, receiver_sides[k]);
        station.push_back("/com" + std::to_string(i + 1) + "=" + host_side);
        group.children.push_back(&emu);
    }
    if (!started || !spawn_station(setup, setup.line_dir, station, up, setup.dir + "/lines.err") ||
        !wait_every_port(group, up.child, lines, "ready.", 0, 10000)) {
        r.why = "could not start the station on the emulated lines";
        finish(group);
        close_upgrade(up);
        return r;
    }
    const std::int64_t cpu0 = process_cpu_ns(up.child.pid);
    const std::int64_t t0 = mono_ns();
    for (int i = 0; i < lines && started; ++i) {
        started = start_receiver(setup, receiver_sides[static_cast<std::size_t>(i)],
                                 sims[static_cast<std::size_t>(i)]);
        group.children.push_back(&sims[static_cast<std::size_t>(i)]);
    }
    std::vector<std::int64_t> done_ns(static_cast<std::size_t>(lines));
    const bool done = started && wait_every_port(group, up.child, lines, "change speed --> 57600",
                                                 0, 120000, &done_ns);
    const std::int64_t cpu1 = process_cpu_ns(up.child.pid);
    const std::int64_t t1 = mono_ns();
    double esc_ms = 0;
    if (!done) {
        r.why = "not every line's download finished; the station's last words: " +
                tail(up.child.out.data);
    } else if (!press_escape(group, up, esc_ms) || up.child.status != 0) {
        r.why = "the station did not end well on ESC";
    } else {
        r.cpu_percent_per_line =
            static_cast<double>(cpu1 - cpu0) / static_cast<double>(t1 - t0) * 100.0 / lines;
        r.cpu_ms_per_line = static_cast<double>(up.child.cpu_ns) / 1e6 / lines;
        r.why = worst_lines(setup, group, sims.data(), emus.data(), stats, done_ns,
                            r.worst_efficiency, r.worst_host_efficiency);
        r.ok = r.why.empty();
    }
    finish(group);
    close_upgrade(up);
    return r;
}

SeparateLinesSample run_separate_lines(const Setup& setup, int lines, std::int32_t baud) {
    SeparateLinesSample r;
    const std::size_t n = static_cast<std::size_t>(lines);
    std::vector<Child> emus(n), sims(n);
    std::vector<UpgradeRun> ups(n); // sized once: the group points into it
    std::vector<std::string> receiver_sides(n);
    Group group;
    bool started = true;
    for (std::size_t i = 0; i < n && started; ++i) {
        std::string host_side;
        started = start_emu(setup, {}, emus[i], host_side, receiver_sides[i]) &&
                  start_upgrade(setup, setup.line_dir, host_side, false,
                                {"/baud=" + std::to_string(baud), "tplist.bin"}, ups[i],
                                setup.dir + "/separate.err");
        group.children.push_back(&emus[i]);
        group.children.push_back(&ups[i].child);
        group.consoles.push_back(&ups[i].console.master);
    }
    for (std::size_t i = 0; i < n && started; ++i)
        started = wait_text(group, ups[i].child, "ready.", after_ms(10000));
    for (std::size_t i = 0; i < n && started; ++i) {
        started = start_receiver(setup, receiver_sides[i], sims[i]);
        group.children.push_back(&sims[i]);
    }
    if (!started)
        r.why = "could not start the one-port programs on the emulated lines";
    double cpu_ns = 0;
    for (std::size_t i = 0; i < n && r.why.empty(); ++i) {
        if (!wait_exit(group, ups[i].child, after_ms(120000)) || ups[i].child.status != 0)
            r.why = "a one-port download failed; its last words: " + tail(ups[i].child.out.data);
        cpu_ns += static_cast<double>(ups[i].child.cpu_ns);
    }
    if (r.why.empty()) {
        r.ok = true;
        r.cpu_ms_per_line = cpu_ns / 1e6 / lines;
    }
    finish(group);
    for (UpgradeRun& up : ups)
        close_upgrade(up);
    return r;
}

StationUnplugSample run_station_unplugs(const Setup& setup, int lines, std::int32_t baud,
                                        int span_ms) {
    // The rounds of every line: a download cut in its first block, the ready loop with no
    // receiver, a download cut again, then a whole download. Each of the first three ends
    // with the line's device gone; the quiet span is taken after the third.
    constexpr int rounds = 4;
    enum class Cut { InBlock, InReadyLoop, None };
    constexpr Cut cuts[rounds] = {Cut::InBlock, Cut::InReadyLoop, Cut::InBlock, Cut::None};
    StationUnplugSample r;
    const std::size_t n = static_cast<std::size_t>(lines);
    std::vector<Child> emus(n * rounds), sims(n * rounds); // sized once: the group points in
    std::vector<std::string> links(n);
    UpgradeRun up;
    Group group = group_of(up);
    std::vector<std::string> station = {"/station", "/baud=" + std::to_string(baud), "tplist.bin"};
    for (std::size_t i = 0; i < n; ++i) {
        links[i] = setup.dir + "/unplug-com" + std::to_string(i + 1);
        station.push_back("/com" + std::to_string(i + 1) + "=" + links[i]);
    }
    // No device is there at the start: every port says it waits for one.
    if (!spawn_station(setup, setup.line_dir, station, up, setup.dir + "/unplug.err") ||
        !wait_every_port(group, up.child, lines, "waiting for ", 0, 10000)) {
        r.why = "could not start the station on links yet to appear";
        finish(group);
        close_upgrade(up);
        return r;
    }
    const std::string& out = up.child.out.data;
    std::vector<std::int64_t> done_ns(n);
    std::vector<std::string> stats(n);
    for (int round = 0; round < rounds && r.why.empty(); ++round) {
        const Cut cut = cuts[round];
        const std::size_t first = static_cast<std::size_t>(round) * n; // this round's children
        const std::size_t from = out.size();
        std::vector<std::string> receiver_sides(n);
        bool ok = true;
        for (std::size_t i = 0; i < n && ok; ++i) {
            Child& emu = emus[first + i];
            std::string host_side;
            stats[i] = setup.dir + "/unplug" + std::to_string(i) + ".stats";
            ok = start_emu(setup, {"--link-a", links[i], "--stats", stats[i]}, emu, host_side,
                           receiver_sides[i]);
            group.children.push_back(&emu);
        }
        if (!ok || !wait_every_port(group, up.child, lines, "ready.", from, 10000)) {
            r.why = "not every port saw its device appear; the station's last words: " + tail(out);
            break;
        }
        for (std::size_t i = 0; i < n && ok && cut != Cut::InReadyLoop; ++i) {
            ok = start_receiver(setup, receiver_sides[i], sims[first + i]);
            group.children.push_back(&sims[first + i]);
        }
        if (!ok) {
            r.why = "could not start the receivers";
            break;
        }
        if (cut == Cut::None) {
            if (!wait_every_port(group, up.child, lines, "change speed --> 57600", from, 120000,
                                 &done_ns))
                r.why = "not every whole download finished; the station's last words: " + tail(out);
            break;
        }
        if (cut == Cut::InBlock &&
            !wait_every_port(group, up.child, lines, "crc = ", from, 30000)) {
            r.why = "not every download reached its first block; the station's last words: " +
                    tail(out);
            break;
        }
        // The unplug: each emulator removes its link and closes its side as it ends.
        for (std::size_t i = 0; i < n; ++i)
            kill(emus[first + i].pid, SIGTERM);
        for (std::size_t i = 0; i < n && ok; ++i)
            ok = wait_exit(group, emus[first + i], after_ms(5000));
        if (!ok ||
            !wait_every_port(group, up.child, lines, "Error : the serial line on ", from, 10000)) {
            r.why = "not every port saw its device go; the station's last words: " + tail(out);
            break;
        }
        if (round == 2) {
            // Every port waits for its device: the station has nothing to do until one appears.
            idle_until(group, after_ms(settle_ms));
            const helpers::SpanFigures quiet =
                helpers::figures_over(up.child.pid, [&] { idle_until(group, after_ms(span_ms)); });
            r.cpu_percent = quiet.cpu_share * 100;
            r.wakeups_per_s = quiet.wakeups_per_s;
            if (!quiet.ok)
                r.why = "the station ended while every port waited";
        }
    }
    double esc_ms = 0;
    if (r.why.empty() && !press_escape(group, up, esc_ms))
        r.why = "ESC did not end the station";
    for (int i = 0; i < lines && r.why.empty(); ++i) {
        // Two cut downloads count as failed, so the status is 1.
        const TableRow row = table_row(out, i);
        if (row.finished != 1 || row.unplugged != rounds - 1)
            r.why = com(i) + "'s row in the station's table does not say 1 finished and " +
                    std::to_string(rounds - 1) + " unplugged";
    }
    if (r.why.empty()) {
        const std::size_t last = static_cast<std::size_t>(rounds - 1) * n;
        r.why = worst_lines(setup, group, sims.data() + last, emus.data() + last, stats, done_ns,
                            r.worst_efficiency, r.worst_host_efficiency);
        r.ok = r.why.empty();
    }
    finish(group);
    close_upgrade(up);
    return r;
}

} // namespace bench
