#ifndef UPGRADE_BENCH_BENCH_REPORT_H
#define UPGRADE_BENCH_BENCH_REPORT_H

// Turns the benchmark's samples into figures (median and range of the runs that succeeded),
// judges each against its target and prints them as a table and as JSON.

#include "bench_runs.h"

#include <cstdio>
#include <string>
#include <vector>

namespace bench {

struct Samples {
    std::vector<RawSample> raw; // raw[i] was taken just before download[i]
    std::vector<DownloadSample> download;
    std::vector<WriteSample> writes;
    std::vector<WaitSample> idle, mark;
    std::vector<EscSample> escape;
    std::vector<LineSample> line;
    std::vector<EchoSample> echo;
    std::vector<StationSample> station_one, station_many; // one port, station_ports ports
    std::vector<EscSample> station_escape;
    std::vector<RecordSample> record;
    std::vector<StationLineSample> station_lines;
    std::vector<SeparateLinesSample>
        separate_lines; // separate_lines[i] just after station_lines[i]
    std::vector<StationUnplugSample> station_unplugs;
    std::vector<WineKeySample> wine_keys;
    std::vector<WineCommSample> wine_comm;
    std::vector<WineWriteSample> wine_writes;
    // The station all day, and the 16-line row's run made in the same invocation beside it.
    std::vector<StationLineSample> day_reference;
    std::vector<DaySample> day;
};

// What was measured, for the labels and the floors.
struct Plan {
    std::size_t download_bytes;
    int download_frames;
    int mark_delay_ms;
    std::int32_t line_baud;
    std::size_t line_bytes;
    int span_ms;
    std::size_t echo_bytes;
    int station_ports;        // downloads at once in the station figure
    int station_escape_ports; // busy ports when ESC is pressed
    int station_lines;        // emulated lines served at once
    int station_mark_delay_ms;
    int wine_blocks;              // overlapped writes in a run of the wine section
    std::size_t wine_block_bytes; // each a block frame
    int day_lines;                // emulated lines of the station all day
    double day_minutes;
};

struct Summary {
    int n = 0; // runs that gave a value
    double median = 0, min = 0, max = 0;
};

enum class Verdict { Info, Met, Missed, NotMeasured };

struct Row {
    std::string name;
    std::string unit;
    int decimals = 1;
    Summary value;
    std::string target; // as printed, e.g. "<= 1.15"; empty for information rows
    Verdict verdict = Verdict::Info;
};

struct Report {
    std::string machine;
    std::vector<Row> rows;
    std::vector<std::string> failures; // one line per run that failed, with its reason
    bool all_measured = true;          // every figure with a target has a value
};

Report build_report(const Plan& plan, const Samples& samples);

// Adds a row: the median and range of `values`; `op` is "<=", ">=", "<" or empty for a row
// without a target. For the sections' own files.
void add_row(Report& r, const std::string& name, const std::string& unit, int decimals,
             const std::vector<double>& values, const char* op = "", double target = 0);
// The rows of the station all day (bench_report_day.cpp), and its failures and problems.
void day_rows(Report& r, const Plan& p, const Samples& s);
void print_report(const Report& report, FILE* out);
bool write_json(const Report& report, const std::string& path);

} // namespace bench

#endif
