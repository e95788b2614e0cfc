#include "bench_report.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sys/utsname.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr double mib = 1024.0;

Summary summarize(std::vector<double> v) {
    Summary s;
    s.n = static_cast<int>(v.size());
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    std::size_t m = v.size() / 2;
    s.median = v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
    s.min = v.front();
    s.max = v.back();
    return s;
}

// Adds a row; `op` is "<=", ">=", "<" or empty for a row without target.
void add(Report& r, const std::string& name, const std::string& unit, int decimals,
         const std::vector<double>& values, const char* op = "", double target = 0) {
    Row row;
    row.name = name;
    row.unit = unit;
    row.decimals = decimals;
    row.value = summarize(values);
    if (*op) {
        char text[64];
        std::snprintf(text, sizeof text, "%s %g%s%s", op, target, unit.empty() ? "" : " ",
                      unit.c_str());
        row.target = text;
        double v = row.value.median;
        bool met = !std::strcmp(op, "<=")   ? v <= target
                   : !std::strcmp(op, ">=") ? v >= target
                                            : v < target;
        row.verdict = row.value.n == 0 ? Verdict::NotMeasured
                      : met            ? Verdict::Met
                                       : Verdict::Missed;
        if (row.value.n == 0)
            r.all_measured = false;
    }
    r.rows.push_back(row);
}

template <typename T>
void note_failures(Report& r, const char* what, const std::vector<T>& samples) {
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (!samples[i].ok)
            r.failures.push_back(std::string(what) + " run " + std::to_string(i + 1) + ": " +
                                 samples[i].why);
}

std::string machine_line() {
    std::string model = "unknown CPU";
    std::ifstream cpu("/proc/cpuinfo");
    for (std::string line; std::getline(cpu, line);)
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    utsname u{};
    uname(&u);
    char when[32];
    std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", std::localtime(&now));
    return model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, Linux " +
           u.release + ", " + when;
}

void download_rows(Report& r, const Plan& p, const Samples& s) {
    std::vector<double> wall, raw, floor, ratio, answer_ratio, cpu, writer, whole, cpu_ratio,
        whole_ratio, peak;
    double mb = static_cast<double>(p.download_bytes) / 1e6;
    double drains_ms = 2.0 * p.download_frames;
    double answers_ms = static_cast<double>(p.mark_delay_ms) * (p.download_frames + 1);
    for (std::size_t i = 0; i < s.download.size() && i < s.raw.size(); ++i) {
        const DownloadSample& d = s.download[i];
        const RawSample& c = s.raw[i];
        if (d.ok) {
            wall.push_back(d.wall_ms);
            cpu.push_back(d.cpu_ms / mb);
            peak.push_back(d.peak_kib / mib);
        }
        if (c.ok) {
            raw.push_back(c.wall_ms);
            floor.push_back(c.wall_ms + drains_ms);
            writer.push_back(c.writer_cpu_ms / mb);
            whole.push_back((c.writer_cpu_ms + c.reader_cpu_ms) / mb);
        }
        if (d.ok && c.ok) { // pair by pair: both were taken side by side
            ratio.push_back(d.wall_ms / (c.wall_ms + drains_ms));
            answer_ratio.push_back(d.wall_ms / (c.wall_ms + answers_ms));
            cpu_ratio.push_back(d.cpu_ms / c.writer_cpu_ms);
            whole_ratio.push_back(d.cpu_ms / (c.writer_cpu_ms + c.reader_cpu_ms));
        }
    }
    std::string frames = std::to_string(p.download_frames);
    add(r, "download of 3 images, " + std::to_string(p.download_bytes) + " B on the line", "ms", 1,
        wall);
    add(r, "raw copy of as many bytes through a fresh pty pair", "ms", 1, raw);
    add(r, "protocol floor: raw copy + 2 ms x " + frames + " blocks", "ms", 1, floor);
    add(r, "download wall / protocol floor", "", 3, ratio, "<=", 1.15);
    add(r,
        "download wall / (raw copy + " + std::to_string(p.mark_delay_ms) +
            " ms receiver answer x " + std::to_string(p.download_frames + 1) + " frames)",
        "", 3, answer_ratio);
    add(r, "upgrade CPU per MB (download)", "ms", 2, cpu);
    add(r, "raw copy CPU per MB, writing side", "ms", 2, writer);
    add(r, "raw copy CPU per MB, writer + reader", "ms", 2, whole);
    add(r, "upgrade CPU / raw copy CPU (writing side)", "", 2, cpu_ratio, "<=", 2);
    add(r, "upgrade CPU / raw copy CPU (writer + reader)", "", 2, whole_ratio);
    add(r, "peak memory of upgrade (maxrss, 2 MiB download)", "MiB", 2, peak, "<=", 4);
}

void write_rows(Report& r, const Samples& s) {
    std::vector<double> all;
    for (const WriteSample& w : s.writes)
        if (w.ok)
            for (int n : w.per_full_block)
                all.push_back(n);
    Summary sum = summarize(all);
    std::vector<double> most;
    if (sum.n)
        most.push_back(sum.max);
    add(r, "write calls per full block, most in any block", "", 0, most, "<=", 16);
    add(r, "write calls per full block, all blocks of all runs", "", 1, all);
}

void wait_rows(Report& r, const Plan& p, const Samples& s) {
    std::vector<double> idle, idle_wake, mark, mark_wake, esc_ready, esc_mark, esc_write, anon,
        file;
    for (const WaitSample& w : s.idle)
        if (w.ok) {
            idle.push_back(w.cpu_percent);
            idle_wake.push_back(w.wakeups_per_s);
            esc_ready.push_back(w.esc_ms);
        }
    for (const WaitSample& w : s.mark)
        if (w.ok) {
            mark.push_back(w.cpu_percent);
            mark_wake.push_back(w.wakeups_per_s);
            esc_mark.push_back(w.esc_ms);
            anon.push_back(static_cast<double>(w.rss_anon_kib) / mib);
            file.push_back(static_cast<double>(w.rss_file_kib) / mib);
        }
    for (const EscSample& e : s.escape)
        if (e.ok)
            esc_write.push_back(e.esc_ms);
    std::string span = std::to_string(p.span_ms / 1000) + " s";
    add(r, "CPU in the ready loop, idle " + span + ", % of a core", "%", 3, idle, "<=", 0.2);
    add(r, "  wakeups per second there", "/s", 1, idle_wake);
    add(r, "CPU waiting " + span + " for a block's mark, % of a core", "%", 3, mark, "<=", 0.2);
    add(r, "  wakeups per second there", "/s", 1, mark_wake);
    add(r, "ESC to exit while a block write is blocked", "ms", 1, esc_write, "<=", 100);
    add(r, "ESC to exit in the ready loop", "ms", 1, esc_ready);
    add(r, "ESC to exit waiting for a mark", "ms", 1, esc_mark);
    add(r, "resident memory waiting for a mark: private", "MiB", 2, anon);
    add(r, "resident memory waiting for a mark: file-backed (libraries)", "MiB", 2, file);
}

void line_rows(Report& r, const Plan& p, const Samples& s) {
    std::vector<double> eff, wall, zwall, zeff, ratio;
    for (const LineSample& l : s.line)
        if (l.ok) {
            eff.push_back(l.upgrade_line_s / l.upgrade_wall_s * 100);
            wall.push_back(l.upgrade_wall_s);
            zwall.push_back(l.zmodem_wall_s);
            zeff.push_back(static_cast<double>(p.line_bytes) * 10 / p.line_baud / l.zmodem_wall_s *
                           100);
            ratio.push_back(l.upgrade_wall_s / l.zmodem_wall_s);
        }
    std::string at = std::to_string(p.line_baud);
    add(r, "emulated line " + at + ": tplist of " + std::to_string(p.line_bytes) + " B", "s", 3,
        wall);
    add(r, "  line efficiency (bytes on the line x 10 / baud) / wall", "%", 2, eff, ">=", 99.5);
    add(r, "  ZMODEM (sz/rz) of the same file on the same line", "s", 3, zwall);
    add(r, "  ZMODEM payload efficiency (file bytes x 10 / baud) / wall", "%", 2, zeff);
    add(r, "  upgrade wall / ZMODEM wall", "", 3, ratio, "<", 1);
}

void echo_rows(Report& r, const Plan& p, const Samples& s) {
    std::vector<double> up, cat, ratio;
    for (const EchoSample& e : s.echo)
        if (e.ok) {
            up.push_back(e.upgrade_cpu_ms);
            cat.push_back(e.cat_cpu_ms);
            ratio.push_back(e.upgrade_cpu_ms / e.cat_cpu_ms);
        }
    std::string size = std::to_string(p.echo_bytes) + " B";
    add(r, "receiver text echoed, " + size + ": upgrade CPU", "ms", 2, up);
    add(r, "  cat of the same text through the same kind of pty pair: CPU", "ms", 2, cat);
    add(r, "  upgrade CPU / cat CPU (echo)", "", 2, ratio, "<=", 5);
}

void station_rows(Report& r, const Plan& p, const Samples& s) {
    std::vector<double> one, many, ratio, peak, esc;
    for (std::size_t i = 0; i < s.station_one.size() && i < s.station_many.size(); ++i)
        if (s.station_one[i].ok && s.station_many[i].ok) {
            one.push_back(s.station_one[i].wall_ms);
            many.push_back(s.station_many[i].wall_ms);
            ratio.push_back(s.station_many[i].wall_ms / s.station_one[i].wall_ms);
            peak.push_back(s.station_many[i].peak_kib / 1024.0);
        }
    for (const EscSample& e : s.station_escape)
        if (e.ok)
            esc.push_back(e.esc_ms);
    const std::string n = std::to_string(p.station_ports);
    add(r, "station: one 2 MiB download alone (unpaced pty)", "ms", 1, one);
    add(r, "  " + n + " such downloads at once", "ms", 1, many);
    add(r, "  " + n + " at once / one alone (wall)", "", 2, ratio, "<=", 2);
    add(r, "  peak memory with " + n + " ports", "MiB", 2, peak,
        "<=", 4.0 + 0.25 * p.station_ports);
    add(r, "station: ESC to exit, " + std::to_string(p.station_escape_ports) + " ports busy", "ms",
        1, esc, "<=", 100);
}

void station_line_rows(Report& r, const Plan& p, const Samples& s) {
    std::vector<double> efficiency, host, cpu, station_ms, separate_ms, ratio;
    for (const StationLineSample& e : s.station_lines)
        if (e.ok) {
            efficiency.push_back(e.worst_efficiency);
            host.push_back(e.worst_host_efficiency);
            cpu.push_back(e.cpu_percent_per_line);
        }
    for (std::size_t i = 0; i < s.station_lines.size() && i < s.separate_lines.size(); ++i)
        if (s.station_lines[i].ok && s.separate_lines[i].ok) {
            station_ms.push_back(s.station_lines[i].cpu_ms_per_line);
            separate_ms.push_back(s.separate_lines[i].cpu_ms_per_line);
            ratio.push_back(s.station_lines[i].cpu_ms_per_line /
                            s.separate_lines[i].cpu_ms_per_line);
        }
    const std::string n = std::to_string(p.station_lines);
    const std::string answer = std::to_string(p.station_mark_delay_ms) + " ms";
    // The receivers answer in 20 ms, a time the line stays quiet whatever the host does; the
    // target is on what the host makes of the rest.
    add(r,
        "station: " + n + " emulated lines at " + std::to_string(p.line_baud) +
            ", least efficient line",
        "%", 2, efficiency);
    add(r, "  the same, the receiver's " + answer + " answers taken out", "%", 2, host, ">=", 99.5);
    add(r, "  station's CPU per line", "%", 3, cpu, "<=", 1);
    add(r, "  station's CPU per line, start to exit", "ms", 2, station_ms);
    add(r, "  " + n + " one-port programs' CPU per line, the same downloads", "ms", 2, separate_ms);
    add(r, "  station / one-port programs (CPU per line)", "", 2, ratio, "<=", 1);
    std::vector<double> unplugged, unplugged_host, wakeups, waiting_cpu;
    for (const StationUnplugSample& e : s.station_unplugs)
        if (e.ok) {
            unplugged.push_back(e.worst_efficiency);
            unplugged_host.push_back(e.worst_host_efficiency);
            wakeups.push_back(e.wakeups_per_s);
            waiting_cpu.push_back(e.cpu_percent);
        }
    add(r, "station: " + n + " lines unplugged 3 times, least efficient whole download", "%", 2,
        unplugged);
    add(r, "  the same, the receiver's " + answer + " answers taken out", "%", 2, unplugged_host,
        ">=", 99.5);
    add(r, "  wakeups per second, every line waiting for its device", "/s", 1, wakeups, "<=", 0);
    add(r, "  CPU there, % of a core", "%", 3, waiting_cpu);
}

void record_rows(Report& r, const Plan& p, const Samples& s) {
    // The same bytes on a real line: 10 bits a byte at the line benchmark's speed.
    const double line_ms = static_cast<double>(p.download_bytes) * 10.0 / p.line_baud * 1000.0;
    std::vector<double> plain, recorded, extra, digest, share, line_share;
    for (const RecordSample& e : s.record) {
        if (!e.ok)
            continue;
        plain.push_back(e.plain_cpu_ms);
        recorded.push_back(e.recorded_cpu_ms);
        extra.push_back((e.recorded_cpu_ms / e.plain_cpu_ms - 1.0) * 100.0);
        digest.push_back(e.digest_ms);
        share.push_back(e.digest_ms / e.plain_cpu_ms * 100.0);
        line_share.push_back(e.digest_ms / line_ms * 100.0);
    }
    add(r, "record: the 2 MiB download's CPU, as it is", "ms", 2, plain);
    add(r, "  the same with /log= and /progress", "ms", 2, recorded);
    add(r, "  extra CPU, side by side", "%", 2, extra);
    add(r, "  SHA-256 of its three images, in process", "ms", 3, digest);
    // Accepted at about a tenth: the record names each image by the SHA-256 of its bytes.
    add(r, "  that digest / the download's CPU", "%", 2, share);
    add(r, "  that digest / the download's time on a " + std::to_string(p.line_baud) + " line", "%",
        5, line_share, "<=", 0.01);
}

const char* verdict_text(Verdict v) {
    switch (v) {
    case Verdict::Met:
        return "met";
    case Verdict::Missed:
        return "MISSED";
    case Verdict::NotMeasured:
        return "NOT MEASURED";
    case Verdict::Info:
        break;
    }
    return "";
}

std::string value_text(const Row& row) {
    if (row.value.n == 0)
        return "-";
    char text[96];
    int d = row.decimals;
    if (row.value.n == 1)
        std::snprintf(text, sizeof text, "%.*f", d, row.value.median);
    else
        std::snprintf(text, sizeof text, "%.*f [%.*f-%.*f]", d, row.value.median, d, row.value.min,
                      d, row.value.max);
    return text;
}

// Text for a JSON string: quotes, backslashes and control bytes escaped.
std::string json_text(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

// Wine's own figures, information beside the Windows build's figures in the wine tests.
void wine_rows(Report& r, const Plan& p, const Samples& s) {
    if (s.wine_keys.empty() && s.wine_comm.empty() && s.wine_writes.empty())
        return; // not measured: no wine here, or not asked for
    std::vector<double> first, second, waits, median, p99, latest, beyond;
    for (const WineKeySample& e : s.wine_keys) {
        if (!e.ok)
            continue;
        first.push_back(e.first_ms);
        second.push_back(e.second_ms);
    }
    for (const WineCommSample& e : s.wine_comm) {
        if (e.ok)
            waits.push_back(e.waits ? 1 : 0);
    }
    for (const WineWriteSample& e : s.wine_writes) {
        if (!e.ok)
            continue;
        std::vector<double> late = e.late_ms;
        std::sort(late.begin(), late.end());
        median.push_back(late[late.size() / 2]);
        p99.push_back(late[late.size() * 99 / 100]);
        latest.push_back(late.back());
        beyond.push_back(static_cast<double>(
            std::count_if(late.begin(), late.end(), [](double ms) { return ms > 3; })));
    }
    add(r, "wine: a key through its console to a waiting program, first ESC", "ms", 1, first);
    add(r, "  the second ESC", "ms", 1, second);
    add(r, "wine: WaitCommEvent(EV_RXCHAR) waits on a quiet line (1) or ends (0)", "", 0, waits);
    const std::string writes = std::to_string(p.wine_blocks) + " overlapped writes of " +
                               std::to_string(p.wine_block_bytes) + " B";
    add(r, "wine: end of each of " + writes + ", median", "ms", 3, median);
    add(r, "  99th percentile", "ms", 3, p99);
    add(r, "  latest", "ms", 3, latest);
    add(r, "  writes whose end came beyond 3 ms", "", 0, beyond);
}

} // namespace

void add_row(Report& r, const std::string& name, const std::string& unit, int decimals,
             const std::vector<double>& values, const char* op, double target) {
    add(r, name, unit, decimals, values, op, target);
}

Report build_report(const Plan& plan, const Samples& samples) {
    Report r;
    r.machine = machine_line();
    download_rows(r, plan, samples);
    write_rows(r, samples);
    wait_rows(r, plan, samples);
    line_rows(r, plan, samples);
    echo_rows(r, plan, samples);
    station_rows(r, plan, samples);
    station_line_rows(r, plan, samples);
    record_rows(r, plan, samples);
    wine_rows(r, plan, samples);
    day_rows(r, plan, samples);
    note_failures(r, "raw copy", samples.raw);
    note_failures(r, "download", samples.download);
    note_failures(r, "strace", samples.writes);
    note_failures(r, "idle", samples.idle);
    note_failures(r, "mark wait", samples.mark);
    note_failures(r, "ESC", samples.escape);
    note_failures(r, "emulated line", samples.line);
    note_failures(r, "echo", samples.echo);
    note_failures(r, "station, one port", samples.station_one);
    note_failures(r, "station", samples.station_many);
    note_failures(r, "station ESC", samples.station_escape);
    note_failures(r, "record cost", samples.record);
    note_failures(r, "station lines", samples.station_lines);
    note_failures(r, "one-port programs on lines", samples.separate_lines);
    note_failures(r, "station lines unplugged", samples.station_unplugs);
    note_failures(r, "wine console key", samples.wine_keys);
    note_failures(r, "wine comm event", samples.wine_comm);
    note_failures(r, "wine overlapped write", samples.wine_writes);
    return r;
}

void print_report(const Report& report, FILE* out) {
    std::fprintf(out, "upgrade benchmark on this machine: %s\n", report.machine.c_str());
    std::fprintf(out, "median [min-max] of the runs; ratios taken pair by pair within a run\n\n");
    std::fprintf(out, "%-70s %-26s %-5s %-14s %s\n", "figure", "measured", "unit", "target",
                 "result");
    for (const Row& row : report.rows)
        std::fprintf(out, "%-70s %-26s %-5s %-14s %s\n", row.name.c_str(), value_text(row).c_str(),
                     row.unit.c_str(), row.target.c_str(), verdict_text(row.verdict));
    for (const std::string& f : report.failures)
        std::fprintf(out, "FAILED %s\n", f.c_str());
}

bool write_json(const Report& report, const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    std::fprintf(f, "{\n  \"machine\": \"%s\",\n  \"figures\": [\n",
                 json_text(report.machine).c_str());
    for (std::size_t i = 0; i < report.rows.size(); ++i) {
        const Row& row = report.rows[i];
        std::fprintf(f,
                     "    {\"name\": \"%s\", \"unit\": \"%s\", \"runs\": %d, \"median\": %.6g, "
                     "\"min\": %.6g, \"max\": %.6g, \"target\": \"%s\", \"result\": \"%s\"}%s\n",
                     json_text(row.name).c_str(), row.unit.c_str(), row.value.n, row.value.median,
                     row.value.min, row.value.max, row.target.c_str(),
                     row.verdict == Verdict::Info ? "info" : verdict_text(row.verdict),
                     i + 1 < report.rows.size() ? "," : "");
    }
    std::fprintf(f, "  ],\n  \"failures\": [");
    for (std::size_t i = 0; i < report.failures.size(); ++i)
        std::fprintf(f, "%s\n    \"%s\"", i ? "," : "", json_text(report.failures[i]).c_str());
    std::fprintf(f, "%s]\n}\n", report.failures.empty() ? "" : "\n  ");
    return std::fclose(f) == 0;
}

} // namespace bench
