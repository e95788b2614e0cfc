// The rows of the station all day: the load it ran under, every whole download's efficiency,
// the cut downloads against the plan, the slots' bound, the station's memory and descriptors
// over the day and its CPU beside the 16-line station row's of the same run.

#include "bench_report.h"

#include "system/console.h"

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

// How the record's results are named in the rows.
struct ResultName {
    const char* result;
    const char* words;
};
constexpr ResultName result_names[] = {
    {"finished", "finished"}, {"restarted", "restarted"}, {"no_answer", "no answer"},
    {"failed", "failed"},     {"line_lost", "line lost"}, {"escaped", "escaped"},
    {"refused", "refused"},
};

int count_of(const std::vector<std::pair<std::string, int>>& counts, const char* result) {
    for (const auto& [name, count] : counts)
        if (name == result)
            return count;
    return 0;
}

// The first sample from the start of the second minute (the first of all in a shorter day).
std::size_t second_minute(const DaySample& d) {
    for (std::size_t i = 0; i < d.sample_s.size(); ++i)
        if (d.sample_s[i] >= 60)
            return i;
    return 0;
}

std::vector<double> one(double value) {
    return {value};
}

void load_rows(Report& r, const Plan& p, const DaySample& d) {
    const std::string lines = std::to_string(p.day_lines);
    char minutes[32];
    std::snprintf(minutes, sizeof minutes, "%g", p.day_minutes);
    add_row(r, "day: station of " + lines + " emulated lines for " + minutes + " min, visits", "",
            0, one(d.visits));
    add_row(r, "  wall time, the last visits' ends included", "s", 1, one(d.wall_s));
    add_row(r, "  load average (1 min) at the start", "", 2, one(d.load_start));
    add_row(r, "  load average at the end", "", 2, one(d.load_end));
    add_row(r, "  load average, most seen", "", 2, one(d.load_max));
    add_row(r, "  the machine's CPU busy, every core", "%", 1, one(d.machine_busy_percent));
    add_row(r, "  " + lines + " line emulators' CPU, % of a core", "%", 1, one(d.emu_cpu_percent));
    add_row(r, "  the receivers' CPU, % of a core", "%", 1, one(d.sim_cpu_percent));
}

void efficiency_rows(Report& r, const Plan& p, const DaySample& d) {
    if (d.efficiency.empty())
        return;
    std::vector<double> host = d.host_efficiency;
    std::sort(host.begin(), host.end());
    const double below = static_cast<double>(
        std::count_if(host.begin(), host.end(), [](double e) { return e < 99.5; }));
    const std::string answer = std::to_string(p.station_mark_delay_ms) + " ms";
    add_row(r, "  whole downloads (nothing cut), each measured", "", 0,
            one(static_cast<double>(host.size())));
    add_row(r, "  least efficient whole download", "%", 2,
            one(*std::min_element(d.efficiency.begin(), d.efficiency.end())));
    add_row(r, "  the same, the receiver's " + answer + " answers taken out", "%", 2,
            one(host.front()), ">=", 99.5);
    add_row(r, "  median whole download, answers taken out", "%", 2, one(host[host.size() / 2]));
    add_row(r, "  whole downloads below 99.5 %, answers taken out", "", 0, one(below));
}

void cut_rows(Report& r, const DaySample& d) {
    add_row(r, "  cut downloads the visits planned", "", 0, one(d.cut_downloads));
    for (const ResultName& name : result_names) {
        const int planned = count_of(d.planned, name.result);
        const int recorded = count_of(d.recorded, name.result);
        if (planned == 0 && recorded == 0)
            continue;
        add_row(r,
                std::string("  records ") + name.words + " (planned " + std::to_string(planned) +
                    ")",
                "", 0, one(recorded));
    }
    add_row(r, "  records otherwise than planned (result, missing, extra)", "", 0,
            one(d.records_off_plan), "<=", 0);
    add_row(r, "  table rows otherwise than planned", "", 0, one(d.table_rows_off_plan), "<=", 0);
    if (d.past_bound_checked > 0)
        add_row(r, "  most time a cut download held its slot past its receiver's doing", "s", 2,
                one(d.most_past_bound_s));
    add_row(r, "  cut downloads that held their slot beyond that by > 1 s", "", 0,
            one(d.held_past_bound), "<=", 0);
    add_row(r, "  slots that did not come back from a visit", "", 0, one(d.stuck_visits), "<=", 0);
}

void process_rows(Report& r, const Plan& p, const DaySample& d) {
    if (d.sample_s.size() < 2)
        return;
    const std::size_t from = second_minute(d);
    const auto most = [&](const std::vector<double>& v) {
        return *std::max_element(v.begin() + static_cast<std::ptrdiff_t>(from), v.end());
    };
    char at[48];
    std::snprintf(at, sizeof at, "%.0f s", d.sample_s[from]);
    add_row(r, std::string("  upgrade's resident memory at ") + at, "MiB", 2,
            one(d.rss_kib[from] / 1024));
    add_row(r, "  at the end", "MiB", 2, one(d.rss_kib.back() / 1024));
    add_row(r, "  most, from then to the end", "MiB", 2, one(most(d.rss_kib) / 1024));
    add_row(r, std::string("  its private part (RssAnon) at ") + at, "KiB", 0,
            one(d.rss_anon_kib[from]));
    add_row(r, "  at the end", "KiB", 0, one(d.rss_anon_kib.back()));
    add_row(r, "  most, from then to the end", "KiB", 0, one(most(d.rss_anon_kib)));
    const double growth = most(d.rss_anon_kib) - d.rss_anon_kib[from];
    add_row(r, "  growth of the private part, from then to the most", "KiB", 0, one(growth));
    add_row(r, "  the station's console output from then to the end", "KiB", 0,
            one(d.out_kib.back() - d.out_kib[from]));
    // Each line's console queue is a ring whose pages become the program's as its text first
    // wraps round them: the private part grows with the text shown until every ring has been
    // round once, and no further.
    add_row(r,
            "  that growth less what the " + std::to_string(p.day_lines) +
                " console queues hold (" + std::to_string(channel_queue_size / 1024) + " KiB each)",
            "KiB", 0, one(growth - p.day_lines * static_cast<double>(channel_queue_size) / 1024),
            "<=", 0);
    add_row(r, std::string("  upgrade's open descriptors at ") + at, "", 0, one(d.fds[from]));
    add_row(r, "  at the end", "", 0, one(d.fds.back()));
    add_row(r, "  most, from then to the end", "", 0, one(most(d.fds)));
    // The first and the last sample find every port ready and no receiver on the line: the
    // same state, so the same descriptors.
    add_row(r, "  descriptors with every port ready, at the end less at the start", "", 0,
            one(d.fds.back() - d.fds.front()), "<=", 0);
}

void cpu_rows(Report& r, const Plan& p, const Samples& s, const DaySample& d) {
    std::vector<double> reference, reference_ms;
    for (const StationLineSample& e : s.day_reference)
        if (e.ok) {
            reference.push_back(e.cpu_percent_per_line);
            reference_ms.push_back(e.cpu_ms_per_line);
        }
    const std::string n = std::to_string(p.station_lines);
    add_row(r, "  station's CPU per line over the day", "%", 3, one(d.cpu_percent_per_line),
            "<=", 1);
    add_row(r, "  the " + n + "-line station row's CPU per line, same run", "%", 3, reference);
    add_row(r, "  station's CPU per finished download over the day", "ms", 2,
            one(d.cpu_ms_per_download));
    add_row(r, "  the " + n + "-line row's CPU per line, start to exit, same run", "ms", 2,
            reference_ms);
}

} // namespace

void day_rows(Report& r, const Plan& p, const Samples& s) {
    for (std::size_t i = 0; i < s.day_reference.size(); ++i)
        if (!s.day_reference[i].ok)
            r.failures.push_back("day: the " + std::to_string(p.station_lines) +
                                 "-line station row beside it: " + s.day_reference[i].why);
    for (const DaySample& d : s.day) {
        if (!d.ok) {
            r.failures.push_back("day: " + d.why);
            r.all_measured = false;
            continue;
        }
        load_rows(r, p, d);
        efficiency_rows(r, p, d);
        cut_rows(r, d);
        process_rows(r, p, d);
        cpu_rows(r, p, s, d);
        for (const std::string& problem : d.problems)
            r.failures.push_back("day: " + problem);
    }
}

} // namespace bench
