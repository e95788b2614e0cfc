// receiver-sim: plays the satellite receiver's boot block at the other end of the serial line,
// so that `upgrade` can be run and tested without a receiver. It creates a pseudo-terminal pair
// (printing the path for `upgrade /com1=PATH`) or plays on a serial device, serves the asked
// number of downloads, keeps a simulated flash in a file and reports what it received.

#include "sim_exchange.h"

#include <cstdio>

namespace {

// How long, after its last download, the simulator waits for the host to read the final mark
// before it closes its end (closing a pty discards what the host has not read yet).
constexpr std::int64_t final_mark_wait_us = 2000000;
// After that the host still switches its line back to the base speed and closes it; the line
// stays open this long for it, so that closing here never cuts the host's last steps short.
constexpr std::int64_t host_close_wait_us = 1000000;

void wait_host_closed(SimLine& line, std::int64_t until_us) {
    std::uint8_t sink[256];
    std::size_t got = 0;
    while (sim_now_us() < until_us &&
           read_bytes(line, sink, sizeof sink, got, until_us) == LineStatus::Ok) {
    }
}

// The one place that decides the exit status. A violation seen at any time wins: the run showed
// a fault of the host even if the line later closed or the time ran out.
int exit_status(const Sim& sim, Outcome outcome) {
    if (sim.violated)
        return sim_exit_violation;
    switch (outcome) {
    case Outcome::Done:
    case Outcome::HungUp:
    case Outcome::Abandoned:
    case Outcome::Restarted:
        return sim_exit_ok;
    case Outcome::Violation:
        return sim_exit_violation;
    case Outcome::Timeout:
        return sim_exit_timeout;
    case Outcome::Closed:
        return sim_exit_closed;
    case Outcome::Interrupted:
        break;
    }
    return 128 + stop_signal();
}

bool open_line(Sim& sim) {
    if (!sim.options.use_pty)
        return open_device_line(sim.line, sim.options.device.c_str());
    if (!open_pty_line(sim.line, sim.options.link.c_str()))
        return false;
    // The path alone on the first line, out at once: whoever started the simulator waits for it.
    std::printf("%s\n", sim.line.slave_path);
    return std::fflush(stdout) == 0;
}

// Serves the downloads one after the other, each announced --delay after the previous one ended
// (the first --delay after the start).
Outcome serve_downloads(Sim& sim, std::int64_t start_us) {
    const std::int64_t delay_us = std::int64_t{sim.options.delay_ms} * 1000;
    std::int64_t announce_at = start_us + delay_us;
    int completed = 0;
    Outcome outcome = Outcome::Done;
    while (completed < sim.options.downloads) {
        outcome = serve_download(sim, completed + 1, announce_at);
        save_flash(sim.flash);
        if (outcome == Outcome::Done)
            ++completed;
        else if (outcome != Outcome::Abandoned && outcome != Outcome::Restarted)
            break;
        // A receiver that started again has been silent already: it announces at once.
        announce_at = sim_now_us() + (outcome == Outcome::Restarted ? 0 : delay_us);
    }
    return outcome;
}

} // namespace

int main(int argc, char** argv) {
    Sim sim;
    bool help = false;
    if (!parse_sim_options(argc - 1, argv + 1, sim.options, help))
        return sim_exit_usage;
    if (help) {
        print_sim_usage();
        return sim_exit_ok;
    }
    install_stop_signals();
    const std::int64_t start_us = sim_now_us();
    sim.line.deadline_us = start_us + std::int64_t{sim.options.timeout_s} * 1000000;
    if (!open_report(sim.report, sim.options.report.c_str(), sim.options.verbose) ||
        !load_flash(sim.flash, sim.options.flash) || !open_line(sim)) {
        close_line(sim.line);
        return sim_exit_usage;
    }
    const Outcome outcome = serve_downloads(sim, start_us);
    if (outcome == Outcome::Done && sim.line.is_pty) {
        wait_output_taken(sim.line, sim_now_us() + final_mark_wait_us);
        // A receiver stays on its line after its download. Where the pty is the far end of an
        // emulated adapter, closing it would unplug the adapter from the host.
        wait_host_closed(sim.line, sim.options.stay ? sim.line.deadline_us
                                                    : sim_now_us() + host_close_wait_us);
    } else if (outcome == Outcome::Done) {
        wait_output_taken(sim.line, sim_now_us() + final_mark_wait_us);
    }
    close_line(sim.line);
    close_report(sim.report);
    return exit_status(sim, outcome);
}
