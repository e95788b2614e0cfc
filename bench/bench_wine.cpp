// The wine section: what wine itself does where upgrade.exe relies on the system, each shown by
// a probe of a few lines (bench/wine/) run under wine. These are wine's figures, not the
// program's: they say what part of the Windows build's figures under wine is wine's own.
//
// A probe runs through the wine session script on a console of its own; its COM1 is the
// session's link, pointed here at a pseudo-terminal of the benchmark's and removed again at the
// end, so that it never leads to a terminal that another program gets next.

#include "bench_runs.h"

#include "helpers/programs.h"

#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr int wine_start_ms = 30000; // a first run may have to start wine's server
constexpr int settle_ms = 300;       // after the probe says it waits, before a key is typed

// A probe under wine on its own console, with its COM1 on `line` when one is given.
struct ProbeRun {
    Pty console;
    Pty line;
    Child child;
};

std::string com1_link(const Setup& setup) {
    return setup.wine_state + "/com1";
}

bool start_probe(const Setup& setup, const char* probe, const std::vector<std::string>& args,
                 bool with_line, ProbeRun& run) {
    if (!open_pty(run.console, toolkit::PtySettings::FreshTerminal))
        return false;
    if (with_line) {
        unlink(com1_link(setup).c_str());
        if (!open_pty(run.line, toolkit::PtySettings::SerialLine) ||
            symlink(run.line.path.c_str(), com1_link(setup).c_str()) != 0)
            return false;
    }
    Launch launch = helpers::wine_launch(setup.wine_session, setup.wine_state,
                                         setup.wine_probes + "/" + probe, args, run.console.path);
    launch.cwd = setup.dir;
    return toolkit::spawn(launch, run.child);
}

void end_probe(const Setup& setup, ProbeRun& run) {
    finish({{&run.child}});
    unlink(com1_link(setup).c_str());
    close_pty(run.console);
    close_pty(run.line);
}

// True once the probe's console takes keys one by one (wine's console has set it up).
bool console_takes_keys(const Group& group, const Pty& console, std::int64_t deadline) {
    for (;;) {
        termios settings{};
        if (tcgetattr(console.slave, &settings) == 0 && (settings.c_lflag & (ICANON | ECHO)) == 0)
            return true;
        if (mono_ns() >= deadline)
            return false;
        idle_until(group, std::min(deadline, after_ms(10)));
    }
}

} // namespace

// console_key_probe.exe sleeps on the console's input handle and prints "esc" for each ESC key
// it reads. Each key is timed from just before it is written to the terminal until its "esc".
WineKeySample run_wine_keys(const Setup& setup) {
    WineKeySample r;
    ProbeRun run;
    const Group group{{&run.child}, {&run.console.master}};
    double key_ms[2] = {0, 0};
    const std::string& out = run.child.out.data;
    if (!start_probe(setup, "console_key_probe.exe", {}, false, run) ||
        !wait_text(group, run.child, "waiting", after_ms(wine_start_ms)) ||
        !console_takes_keys(group, run.console, after_ms(5000))) {
        r.why = "the probe did not start waiting for keys";
    } else {
        idle_until(group, after_ms(settle_ms));
        for (int key = 0; key < 2 && r.why.empty(); ++key) {
            const std::size_t from = key == 0 ? 0 : out.find("esc") + 1;
            const std::int64_t typed = mono_ns();
            std::int64_t seen = 0;
            if (!put_bytes(run.console.master.fd, "\x1b") ||
                !wait_text(group, run.child, "esc", after_ms(5000), &seen, from))
                r.why = "ESC " + std::to_string(key + 1) + " did not reach the probe within 5 s";
            key_ms[key] = static_cast<double>(seen - typed) / 1e6;
            idle_until(group, after_ms(settle_ms));
        }
        if (r.why.empty() &&
            (!wait_exit(group, run.child, after_ms(wine_start_ms)) || run.child.status != 0))
            r.why = "the probe did not end well after two keys";
    }
    end_probe(setup, run);
    r.ok = r.why.empty();
    r.first_ms = key_ms[0];
    r.second_ms = key_ms[1];
    return r;
}

// comm_event_probe.exe waits up to 1.5 s for a comm event on a line on which nothing arrives.
WineCommSample run_wine_comm_event(const Setup& setup) {
    WineCommSample r;
    ProbeRun run;
    const Group group{{&run.child}, {&run.console.master}};
    if (!start_probe(setup, "comm_event_probe.exe", {}, true, run))
        r.why = "the probe did not start";
    else if (!wait_exit(group, run.child, after_ms(wine_start_ms)) || run.child.status != 0)
        r.why = "the probe did not end well: " + run.child.out.data;
    else {
        r.answer = run.child.out.data.substr(0, run.child.out.data.find_first_of("\r\n"));
        r.waits = r.answer == "timeout";
        r.ok = r.waits || r.answer.rfind("ended", 0) == 0;
        if (!r.ok)
            r.why = "the probe said " + r.answer;
    }
    end_probe(setup, run);
    return r;
}

// write_completion_probe.exe writes each block to COM1 in one overlapped write and a '!' as
// soon as it sees the write complete. The bytes must come whole and in order: a write reported
// complete before its last byte went out would let the '!' overtake it.
WineWriteSample run_wine_write_ends(const Setup& setup, int blocks, std::size_t bytes) {
    WineWriteSample r;
    ProbeRun run;
    if (!start_probe(setup, "write_completion_probe.exe",
                     {std::to_string(blocks), std::to_string(bytes)}, true, run)) {
        r.why = "the probe did not start";
        end_probe(setup, run);
        return r;
    }
    const std::vector<toolkit::Stream*> streams = {&run.child.out, &run.console.master,
                                                   &run.line.master};
    const std::int64_t deadline = after_ms(wine_start_ms + 30000);
    std::size_t at = 0; // bytes of the current block taken so far
    std::int64_t last_byte = 0;
    std::string& line = run.line.master.data;
    while (static_cast<int>(r.late_ms.size()) < blocks && r.why.empty() && mono_ns() < deadline) {
        toolkit::pump_until(streams, std::min(deadline, after_ms(100)));
        run.console.master.data.clear();
        for (const char byte : line) {
            if (at < bytes && byte == 'b') {
                if (++at == bytes)
                    last_byte = mono_ns();
            } else if (at == bytes && byte == '!') {
                r.late_ms.push_back(static_cast<double>(mono_ns() - last_byte) / 1e6);
                at = 0;
            } else {
                r.why = "block " + std::to_string(r.late_ms.size()) + " came out of order";
                break;
            }
        }
        line.clear();
    }
    if (r.why.empty() && static_cast<int>(r.late_ms.size()) < blocks)
        r.why = "only " + std::to_string(r.late_ms.size()) + " blocks came within the time";
    const Group group{{&run.child}, {&run.console.master}};
    if (r.why.empty() &&
        (!wait_exit(group, run.child, after_ms(wine_start_ms)) || run.child.status != 0))
        r.why = "the probe did not end well: " + run.child.out.data;
    end_probe(setup, run);
    r.ok = r.why.empty();
    return r;
}

} // namespace bench
