// The benchmark's runs that watch `upgrade` wait (idle, for a mark, in a blocked write) and the
// runs on the emulated line; the emulator's start and figures, shared with the station's lines.

#include "bench_runs.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sys/stat.h>

namespace bench {

namespace {

std::map<std::string, long long> read_stats(const std::string& path) {
    std::map<std::string, long long> stats;
    std::ifstream in(path);
    std::string key;
    long long value = 0;
    while (in >> key >> value)
        stats[key] = value;
    return stats;
}

std::string read_whole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

bool start_emu(const Setup& setup, const std::vector<std::string>& args, Child& emu, std::string& a,
               std::string& b) {
    Launch launch;
    launch.argv = {setup.emu, "--timeout", "150"};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.err = err_to(setup.dir + "/line-emu.err");
    if (!toolkit::spawn(launch, emu))
        return false;
    std::int64_t deadline = after_ms(5000);
    while (std::count(emu.out.data.begin(), emu.out.data.end(), '\n') < 2) {
        if (emu.reaped || mono_ns() >= deadline)
            return false;
        pump({{&emu}}, deadline);
    }
    std::size_t nl = emu.out.data.find('\n');
    a = emu.out.data.substr(0, nl);
    b = emu.out.data.substr(nl + 1, emu.out.data.find('\n', nl + 1) - nl - 1);
    return true;
}

// The emulator ends by itself once both sides have closed; its figures are then written.
bool emu_figures(const Group& group, Child& emu, const std::string& stats_path, double& line_s,
                 std::uint64_t& bytes, long long& first_ns) {
    if (!wait_exit(group, emu, after_ms(5000)) || emu.status != 0)
        return false;
    std::map<std::string, long long> s = read_stats(stats_path);
    line_s = static_cast<double>(s["a_to_b_line_ns"] + s["b_to_a_line_ns"]) / 1e9;
    bytes = static_cast<std::uint64_t>(s["a_to_b_bytes"] + s["b_to_a_bytes"]);
    first_ns = s["first_byte_ns"];
    return first_ns > 0;
}

namespace {

constexpr int settle_ms = 300; // after the state is reached, before measuring

// Measures `span_ms` of a process that is already in the state to be measured.
void measure_span(const Group& group, pid_t pid, int span_ms, WaitSample& r) {
    idle_until(group, after_ms(settle_ms));
    const helpers::SpanFigures quiet =
        helpers::figures_over(pid, [&] { idle_until(group, after_ms(span_ms)); });
    r.hwm_kib = status_field(pid, "VmHWM");
    r.rss_anon_kib = status_field(pid, "RssAnon");
    r.rss_file_kib = status_field(pid, "RssFile");
    if (!quiet.ok) {
        r.why = "the process ended while measured";
        return;
    }
    r.cpu_percent = quiet.cpu_share * 100;
    r.wakeups_per_s = quiet.wakeups_per_s;
    r.ok = true;
}

void line_upgrade(const Setup& setup, std::int32_t baud, LineSample& r) {
    Child emu, sim;
    UpgradeRun up;
    Group group = group_of(up, {&emu, &sim});
    std::string a, b;
    std::string stats = setup.dir + "/line.stats";
    long long first_ns = 0;
    std::string delay = std::to_string(setup.mark_delay_ms);
    Launch launch;
    launch.argv = {setup.sim,   "--device", "",
                   "--delay",   "20",       "--mark-delay-ms",
                   delay,       "--report", setup.dir + "/line.report",
                   "--timeout", "120"};
    launch.err = err_to(setup.dir + "/line.sim.err");
    if (!start_emu(setup, {"--stats", stats}, emu, a, b) ||
        !start_upgrade(setup, setup.line_dir, a, false,
                       {"/baud=" + std::to_string(baud), "tplist.bin"}, up,
                       setup.dir + "/line.err") ||
        !wait_text(group, up.child, "ready.", after_ms(10000)))
        r.why = "could not start upgrade on the emulated line";
    else if (launch.argv[2] = b; !toolkit::spawn(launch, sim))
        r.why = "could not start receiver-sim on the emulated line";
    else if (!wait_exit(group, up.child, after_ms(120000)) || up.child.status != 0)
        r.why = "the download on the emulated line failed";
    else if (!wait_exit(group, sim, after_ms(5000)) || sim.status != 0)
        r.why = "receiver-sim did not accept the download on the emulated line";
    else if (!emu_figures(group, emu, stats, r.upgrade_line_s, r.upgrade_bytes, first_ns))
        r.why = "line-emu gave no figures";
    else
        r.upgrade_wall_s = static_cast<double>(up.child.ended_ns - first_ns) / 1e9;
    finish(group);
    close_upgrade(up);
}

// sz ends only after rz has acknowledged the end of the session, so the file is through by
// then: the wall time runs from starting sz to its exit. rz itself then waits for sz's last
// two bytes ("OO") and now and then misses them and waits up to 30 s more; that wait is no
// part of the transfer, so rz is given 3 s and then ended, and its file is checked.
void line_zmodem(const Setup& setup, std::int32_t baud, LineSample& r) {
    Child emu, sz, rz;
    Group group{{&emu, &sz, &rz}};
    std::string a, b;
    std::string stats = setup.dir + "/zmodem.stats";
    std::string into = setup.dir + "/zmodem-received";
    std::system(("rm -rf '" + into + "'").c_str());
    mkdir(into.c_str(), 0755);
    long long first_ns = 0;
    double wall = 0;
    // Each on one side of the line, as its standard input and output.
    Launch send;
    send.argv = {setup.sz, "-b", "-q", "tplist.bin"};
    send.cwd = setup.line_dir;
    send.err = err_to(setup.dir + "/sz.err");
    Launch receive;
    receive.argv = {setup.rz, "-b", "-y", "-q"};
    receive.cwd = into;
    receive.err = err_to(setup.dir + "/rz.err");
    if (!start_emu(setup, {"--baud", std::to_string(baud), "--stats", stats}, emu, a, b))
        r.why = "could not start line-emu";
    else if (send.in = send.out = {toolkit::Io::File, a},
             receive.in = receive.out = {toolkit::Io::File, b};
             !toolkit::spawn(send, sz) || !toolkit::spawn(receive, rz))
        r.why = "could not start sz and rz";
    else if (!wait_exit(group, sz, after_ms(120000)) || sz.status != 0)
        r.why = "sz failed (status " + std::to_string(sz.status) + ")";
    else if (wait_exit(group, rz, after_ms(3000)), finish({{&rz}});
             rz.status > 0 && rz.status < 128)
        r.why = "rz failed (status " + std::to_string(rz.status) + ")";
    else if (read_whole(into + "/tplist.bin") != read_whole(setup.line_dir + "/tplist.bin"))
        r.why = "rz received something else";
    else if (!emu_figures(group, emu, stats, r.zmodem_line_s, r.zmodem_bytes, first_ns))
        r.why = "line-emu gave no figures";
    else
        wall = static_cast<double>(sz.ended_ns - sz.started_ns) / 1e9;
    r.zmodem_wall_s = wall;
    finish(group);
}

} // namespace

WaitSample run_idle(const Setup& setup, int span_ms) {
    WaitSample r;
    UpgradeRun up;
    Pty com1;
    Group group = group_of(up);
    if (!open_pty(com1, toolkit::PtySettings::SerialLine) ||
        !start_upgrade(setup, setup.download_dir, com1.path, true, {}, up,
                       setup.dir + "/idle.err") ||
        !wait_text(group, up.child, "ready.", after_ms(10000)))
        r.why = "upgrade did not reach its ready loop";
    else {
        measure_span(group, up.child.pid, span_ms, r);
        if (r.ok && !press_escape(group, up, r.esc_ms)) {
            r.ok = false;
            r.why = "ESC did not end the ready loop";
        }
    }
    finish(group);
    close_upgrade(up);
    close_pty(com1);
    return r;
}

WaitSample run_mark_wait(const Setup& setup, int span_ms) {
    WaitSample r;
    Child sim;
    UpgradeRun up;
    Group group = group_of(up, {&sim});
    std::string slave;
    std::int64_t deadline = after_ms(20000);
    if (!start_sim(setup, {"--delay", "50", "--announce-every", "300", "--no-mark-at", "0"}, sim,
                   slave, setup.dir + "/mark.sim.err") ||
        !start_upgrade(setup, setup.line_dir, slave, false, {"tplist.bin"}, up,
                       setup.dir + "/mark.err"))
        r.why = "could not start";
    else if (!wait_text(group, up.child, "crc = ", deadline) ||
             !wait_text(group, up.child, ":  ", deadline, nullptr,
                        up.child.out.data.find("crc = ")))
        r.why = "upgrade did not reach the wait for the first block's mark";
    else {
        measure_span(group, up.child.pid, span_ms, r);
        if (r.ok && (!press_escape(group, up, r.esc_ms) || up.child.status != 1)) {
            r.ok = false;
            r.why = "ESC did not end the wait for a mark with status 1";
        }
    }
    finish(group);
    close_upgrade(up);
    return r;
}

EscSample run_escape_in_write(const Setup& setup) {
    EscSample r;
    Child sim;
    UpgradeRun up;
    Group group = group_of(up, {&sim});
    std::string slave;
    if (!start_sim(setup, {"--delay", "50", "--announce-every", "300", "--stop-reading-at", "0"},
                   sim, slave, setup.dir + "/esc.sim.err") ||
        !start_upgrade(setup, setup.line_dir, slave, false, {"tplist.bin"}, up,
                       setup.dir + "/esc.err"))
        r.why = "could not start";
    else if (!wait_text(group, up.child, "crc = ", after_ms(20000)))
        r.why = "upgrade did not start sending the first block";
    else {
        std::size_t line_at = up.child.out.data.find("crc = ");
        idle_until(group, after_ms(settle_ms));
        if (up.child.out.data.find(":  ", line_at) != std::string::npos)
            r.why = "the first block was not held up (the receiver read it)";
        else if (!press_escape(group, up, r.esc_ms))
            r.why = "ESC did not end upgrade within 5 s";
        else if (up.child.status != 1)
            r.why = "upgrade ended with status " + std::to_string(up.child.status);
        else
            r.ok = true;
    }
    finish(group);
    close_upgrade(up);
    return r;
}

LineSample run_line(const Setup& setup, std::int32_t baud) {
    LineSample r;
    line_upgrade(setup, baud, r);
    if (r.why.empty())
        line_zmodem(setup, baud, r);
    r.ok = r.why.empty();
    return r;
}

} // namespace bench
