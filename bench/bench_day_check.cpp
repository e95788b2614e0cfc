// The day judged at its end: each line's records against the visits it was given and against
// what its console showed, its row of the station's table, each whole download's line
// efficiency, and how long each cut download held its slot beyond what its receiver did.

#include "bench_day.h"
#include "bench_runs.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

namespace bench {

namespace {

// Beyond what the receiver did, the time a slot may take to give up a cut download: the
// scheduling of a loaded machine, not the program's.
constexpr double past_bound_slack_s = 1.0;

struct DayRecord {
    std::string result;
    double seconds = 0;
    std::int64_t end_unix_ms = -1;
    int resends = 0;
};

// "2026-12-11T12:32:22.146Z" in milliseconds since 1970, or -1.
std::int64_t unix_ms_of(const std::string& text) {
    std::tm t{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &ms) != 7)
        return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<std::int64_t>(timegm(&t)) * 1000 + ms;
}

// The records of the file, by port, in the order written. `unreadable` counts the lines that
// are no JSON object.
std::map<std::string, std::vector<DayRecord>> read_records(const std::string& path,
                                                           int& unreadable) {
    std::map<std::string, std::vector<DayRecord>> by_port;
    std::ifstream in(path);
    for (std::string text; std::getline(in, text);) {
        const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
        if (!j.is_object() || !j["port"].is_string() || !j["result"].is_string()) {
            ++unreadable;
            continue;
        }
        DayRecord record;
        record.result = j["result"].get<std::string>();
        if (j["seconds"].is_number())
            record.seconds = j["seconds"].get<double>();
        if (j["end"].is_string())
            record.end_unix_ms = unix_ms_of(j["end"].get<std::string>());
        if (j["images"].is_array())
            for (const nlohmann::json& image : j["images"])
                if (image.is_object() && image["resends"].is_number_integer())
                    record.resends += image["resends"].get<int>();
        by_port[j["port"].get<std::string>()].push_back(record);
    }
    return by_port;
}

struct TableRow {
    int finished = -1, failed = -1, unplugged = -1;
    std::string last; // the last result column
    bool operator==(const TableRow&) const = default;
};

std::string row_text(const TableRow& row) {
    return std::to_string(row.finished) + " finished, " + std::to_string(row.failed) + " failed, " +
           std::to_string(row.unplugged) + " unplugged, last \"" + row.last + "\"";
}

// The rows of the table the station printed at its end, by port:
//   COM1   /path   finished  failed  unplugged  <chip, 21 wide> <last result>
std::map<std::string, TableRow> read_table(const std::string& out) {
    std::map<std::string, TableRow> rows;
    const std::size_t table = out.rfind("\nport   device");
    if (table == std::string::npos)
        return rows;
    std::istringstream lines(out.substr(table + 1));
    std::string text;
    std::getline(lines, text); // the heading
    while (std::getline(lines, text)) {
        std::istringstream words(text);
        std::string name, device;
        TableRow row;
        if (!(words >> name >> device >> row.finished >> row.failed >> row.unplugged))
            continue;
        std::string rest;
        std::getline(words, rest);
        rest.erase(0, std::min(rest.find_first_not_of(' '), rest.size()));
        constexpr std::size_t chip_width = 21;
        if (rest.size() > chip_width + 1)
            row.last = rest.substr(chip_width + 1);
        while (!row.last.empty() && (row.last.back() == '\r' || row.last.back() == ' '))
            row.last.pop_back();
        rows[name] = row;
    }
    return rows;
}

TableRow planned_row(const DayLog& log) {
    TableRow row;
    row.finished = static_cast<int>(std::count(log.planned.begin(), log.planned.end(), "finished"));
    row.failed = static_cast<int>(log.planned.size()) - row.finished;
    row.unplugged = log.unplugs;
    row.last = log.planned.empty() ? "-" : table_result(log.planned.back());
    return row;
}

// The time the record of a cut download took beyond what its receiver did: its line time and
// answers, then the silence the slot may wait out (up to the bound, or until the receiver
// announced itself again); for a pulled line, from the pull to the record's end. False when
// the download was not cut by its receiver or its cable.
bool past_bound(const DayShape& shape, const DayEnding& e, const DayRecord& record,
                std::int64_t unix_less_mono_ms, double& past_s) {
    if (e.result == "line_lost" && e.cut_ns > 0 && record.end_unix_ms > 0) {
        const double end_ns = static_cast<double>(record.end_unix_ms - unix_less_mono_ms) * 1e6;
        past_s = (end_ns - static_cast<double>(e.cut_ns)) / 1e9;
        return true;
    }
    const bool silent = e.result == "no_answer" || e.result == "failed" || e.result == "restarted";
    if (!silent || !e.spanned || e.quiet_ms <= 0)
        return false;
    const double answers_s = (1 + shape.blocks) * shape.mark_delay_ms / 1000.0;
    past_s = record.seconds - (e.line_s + answers_s + static_cast<double>(e.quiet_ms) / 1000.0);
    return true;
}

// Each download of the line whose record agrees with its console: its efficiency when it
// finished, its time past the bound when it was cut.
void download_figures(const DayShape& shape, const std::string& port, const DayLog& log,
                      const std::vector<DayRecord>& records, std::int64_t unix_less_mono_ms,
                      DaySample& r) {
    const std::size_t n = std::min(log.endings.size(), records.size());
    for (std::size_t k = 0; k < n; ++k) {
        const DayEnding& e = log.endings[k];
        const DayRecord& record = records[k];
        if (e.result != record.result)
            continue;
        if (e.result == "finished" && e.spanned && e.first_ns > 0) {
            const double wall_s = static_cast<double>(e.seen_ns - e.first_ns) / 1e9;
            const double answers_s =
                (1 + shape.blocks + record.resends) * shape.mark_delay_ms / 1000.0;
            r.efficiency.push_back(e.line_s / wall_s * 100);
            r.host_efficiency.push_back(e.line_s / (wall_s - answers_s) * 100);
        }
        double past_s = 0;
        if (!past_bound(shape, e, record, unix_less_mono_ms, past_s))
            continue;
        r.most_past_bound_s =
            r.past_bound_checked++ == 0 ? past_s : std::max(r.most_past_bound_s, past_s);
        if (past_s > past_bound_slack_s) {
            ++r.held_past_bound;
            char text[160];
            std::snprintf(text, sizeof text, "%.1f s", past_s);
            r.problems.push_back(port + ": download " + std::to_string(k + 1) + " (" + e.what +
                                 ", " + e.result + ") held its slot " + text +
                                 " beyond what its receiver did");
        }
    }
}

// The line's records against its plan and its console, and its table row against its plan.
void check_line(const std::string& port, const DayLog& log, const std::vector<DayRecord>& records,
                const std::map<std::string, TableRow>& table, DaySample& r) {
    const std::size_t n = std::max(log.planned.size(), records.size());
    for (std::size_t k = 0; k < n; ++k) {
        const std::string planned = k < log.planned.size() ? log.planned[k] : "none";
        const std::string recorded = k < records.size() ? records[k].result : "none";
        if (planned == recorded)
            continue;
        ++r.records_off_plan;
        const std::string what = k < log.endings.size() ? " (" + log.endings[k].what + ")" : "";
        r.problems.push_back(port + ": download " + std::to_string(k + 1) + what + " planned " +
                             planned + ", its record says " + recorded);
    }
    if (log.endings.size() != records.size())
        r.problems.push_back(port + ": the console showed " + std::to_string(log.endings.size()) +
                             " downloads end, the records are " + std::to_string(records.size()));
    const TableRow want = planned_row(log);
    const auto row = table.find(port);
    const TableRow got = row != table.end() ? row->second : TableRow{};
    if (!(got == want)) {
        ++r.table_rows_off_plan;
        r.problems.push_back(port + ": the table says " + row_text(got) + "; planned " +
                             row_text(want));
    }
}

} // namespace

void check_day(const DayShape& shape, const std::vector<DayLog>& logs,
               const std::string& records_path, const std::string& station_out,
               std::int64_t unix_less_mono_ms, DaySample& r) {
    int unreadable = 0;
    std::map<std::string, std::vector<DayRecord>> records = read_records(records_path, unreadable);
    if (unreadable > 0)
        r.problems.push_back(std::to_string(unreadable) +
                             " lines of the record file are no record");
    const std::map<std::string, TableRow> table = read_table(station_out);
    if (table.empty())
        r.problems.push_back("the station printed no table at its end");
    std::map<std::string, int> planned, recorded;
    for (std::size_t i = 0; i < logs.size(); ++i) {
        const std::string port = "COM" + std::to_string(i + 1);
        const DayLog& log = logs[i];
        const std::vector<DayRecord>& line_records = records[port];
        for (const std::string& result : log.planned) {
            ++planned[result];
            r.cut_downloads += result != "finished";
        }
        for (const DayRecord& record : line_records)
            ++recorded[record.result];
        if (log.broken)
            continue; // its slot was given up, and said so
        check_line(port, log, line_records, table, r);
        download_figures(shape, port, log, line_records, unix_less_mono_ms, r);
    }
    r.planned.assign(planned.begin(), planned.end());
    r.recorded.assign(recorded.begin(), recorded.end());
}

} // namespace bench
