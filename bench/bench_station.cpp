// The station's figures: several downloads at once against as many simulators on unpaced
// pseudo-terminal pairs, timed against one alone; the station's peak memory; ESC with every
// port busy. And the cost of the record and the status line on a single download.

#include "bench_runs.h"

#include "helpers/images.h"
#include "system/sha256.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>

namespace bench {

namespace {

// Starts `ports` simulators (each serving one download, or stalling at its second block with
// `stall`) and a station of `upgrade` over them, in the large download's directory.
bool start_station(const Setup& setup, int ports, bool stall, std::vector<Child>& sims,
                   UpgradeRun& up) {
    std::vector<std::string> args = {"/station", "rom.bin", "font.bin", "tplist.bin"};
    sims.resize(static_cast<std::size_t>(ports));
    for (int i = 0; i < ports; ++i) {
        std::vector<std::string> sim_args = {
            "--delay",          "50",
            "--announce-every", "200",
            "--mark-delay-ms",  std::to_string(setup.station_mark_delay_ms)};
        if (stall)
            sim_args.insert(sim_args.end(), {"--no-mark-at", "1"});
        std::string slave;
        if (!start_sim(setup, sim_args, sims[static_cast<std::size_t>(i)], slave,
                       setup.dir + "/station.sim.err"))
            return false;
        args.push_back("/com" + std::to_string(i + 1) + "=" + slave);
    }
    return spawn_station(setup, setup.download_dir, args, up, setup.dir + "/station.err");
}

Group group_of(std::vector<Child>& sims, UpgradeRun& up) {
    Group group = bench::group_of(up);
    for (Child& sim : sims)
        group.children.push_back(&sim);
    return group;
}

} // namespace

StationSample run_station(const Setup& setup, int ports) {
    StationSample r;
    std::vector<Child> sims;
    UpgradeRun up;
    if (!start_station(setup, ports, false, sims, up)) {
        r.why = "the station did not start";
    } else {
        Group group = group_of(sims, up);
        // From the start to the last port's return to the base speed; then ESC ends the
        // station, whose downloads have all finished.
        std::int64_t last_ns = 0;
        bool done = true;
        for (int i = 0; i < ports && done; ++i) {
            std::int64_t seen_ns = 0;
            const std::string text = "COM" + std::to_string(i + 1) + ": change speed --> 57600";
            done = wait_text(group, up.child, text.c_str(), after_ms(120000), &seen_ns);
            last_ns = std::max(last_ns, seen_ns);
        }
        double esc_ms = 0;
        if (!done) {
            const std::string& out = up.child.out.data;
            r.why = "not every download finished within 120 s; the station's last words: " +
                    out.substr(out.size() > 300 ? out.size() - 300 : 0);
        } else if (!press_escape(group, up, esc_ms))
            r.why = "ESC did not end the station";
        else if (up.child.status != 0)
            r.why = "the station exited with status " + std::to_string(up.child.status);
        else {
            r.ok = true;
            r.wall_ms = static_cast<double>(last_ns - up.child.started_ns) / 1e6;
            r.peak_kib = static_cast<double>(up.child.max_rss_kib);
        }
        finish(group);
    }
    close_upgrade(up);
    return r;
}

EscSample run_station_escape(const Setup& setup, int ports) {
    EscSample r;
    std::vector<Child> sims;
    UpgradeRun up;
    if (!start_station(setup, ports, true, sims, up)) {
        r.why = "the station did not start";
    } else {
        Group group = group_of(sims, up);
        // Every port waits for the mark of its second block, which never comes.
        bool busy = true;
        for (int i = 0; i < ports && busy; ++i)
            busy = wait_text(group, up.child, ("COM" + std::to_string(i + 1) + ": crc = ").c_str(),
                             after_ms(60000));
        idle_until(group, after_ms(300));
        if (!busy)
            r.why = "not every port was busy";
        else if (!press_escape(group, up, r.esc_ms))
            r.why = "ESC did not end the station";
        else
            r.ok = true;
        finish(group);
    }
    close_upgrade(up);
    return r;
}

namespace {

// What the record adds to a download above all: the SHA-256 of every byte of the three images,
// taken from memory here (the program hashes each block as it reads it to send it). Best of
// five, as the least disturbed figure of a computation that does the same work each time.
double digest_ms(const Setup& setup) {
    std::vector<std::vector<std::uint8_t>> files;
    for (const char* name : {"rom.bin", "font.bin", "tplist.bin"})
        files.push_back(helpers::read_file(setup.download_dir + "/" + name));
    double best = -1;
    for (int round = 0; round < 5; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (const auto& bytes : files) {
            char hex[sha256_hex_size];
            sha256_hex_of(bytes.data(), bytes.size(), hex);
        }
        const std::chrono::duration<double, std::milli> spent =
            std::chrono::steady_clock::now() - start;
        if (best < 0 || spent.count() < best)
            best = spent.count();
    }
    return best;
}

} // namespace

RecordSample run_record_cost(const Setup& setup) {
    RecordSample r;
    r.digest_ms = digest_ms(setup);
    const DownloadSample plain = run_download(setup);
    const DownloadSample recorded =
        run_download(setup, {"/log=" + setup.dir + "/records.jsonl", "/progress"});
    if (!plain.ok || !recorded.ok) {
        r.why = plain.ok ? recorded.why : plain.why;
        return r;
    }
    r.ok = true;
    r.plain_cpu_ms = plain.cpu_ms;
    r.recorded_cpu_ms = recorded.cpu_ms;
    return r;
}

} // namespace bench
