// The echo figure: CPU spent showing 1 MiB of the receiver's console text, measured for
// `upgrade` waiting for the ready mark and for `cat` passing the same text through the same kind
// of pseudo-terminal pair (a raw line in, a fresh terminal out), one right after the other.

#include "bench_runs.h"

#include <algorithm>
#include <cstdio>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

// Printable lines without a mark ('!' or '@'), as a receiver reports its progress.
std::string receiver_text(std::size_t bytes) {
    std::string text;
    text.reserve(bytes);
    for (unsigned line = 0; text.size() < bytes; ++line) {
        char one[96];
        std::snprintf(one, sizeof one,
                      "boot: sector %3u erased, %6u bytes programmed, checking ...\r\n", line % 43,
                      line * 1024u);
        text += one;
    }
    text.resize(bytes);
    return text;
}

// What a fresh terminal shows of `text`: its output processing turns LF into CR LF.
std::size_t shown_size(const std::string& text) {
    return text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Writes `text` into `line` (a pty master) while reading `screen` (the other pty's master) until
// `expected` bytes have been shown; false on the deadline. With `may_drop` (upgrade, whose
// console drops the receiver's text that the screen cannot take in time, as on a loaded machine)
// it also ends once all is sent and the screen has been quiet for a second.
bool pass_through(int line, int screen, const std::string& text, std::size_t expected,
                  std::int64_t deadline, bool may_drop) {
    std::size_t sent = 0;
    std::size_t shown = 0;
    std::int64_t last_shown = mono_ns();
    std::vector<char> buffer(65536);
    while (shown < expected) {
        if (mono_ns() >= deadline)
            return false;
        if (may_drop && sent == text.size() && mono_ns() - last_shown > 1000000000)
            return true;
        const short line_events = sent < text.size() ? POLLOUT : 0;
        pollfd fds[2] = {{screen, POLLIN, 0}, {line, line_events, 0}};
        poll(fds, 2, 100);
        if (sent < text.size()) {
            const ssize_t put = write(line, text.data() + sent, text.size() - sent);
            if (put > 0)
                sent += static_cast<std::size_t>(put);
        }
        for (;;) {
            const ssize_t got = read(screen, buffer.data(), buffer.size());
            if (got <= 0)
                break;
            shown += static_cast<std::size_t>(got);
            last_shown = mono_ns();
        }
    }
    return true;
}

// `upgrade` in the ready wait of a download, the text sent on its line.
bool upgrade_echo(const Setup& setup, const std::string& text, EchoSample& r) {
    Pty line;
    UpgradeRun up;
    Group group = group_of(up);
    bool ok = false;
    if (!open_pty(line, toolkit::PtySettings::SerialLine) ||
        !start_upgrade(setup, setup.download_dir, line.path, false, {"tplist.bin"}, up,
                       setup.dir + "/echo.err"))
        r.why = "upgrade did not start";
    else if (!wait_text(group, up.child, "ready.\n", after_ms(10000)) ||
             !put_bytes(line.master.fd, "KAL VERON KELDKAR") ||
             !wait_text(group, up.child, "flen = ", after_ms(10000)))
        r.why = "no download began";
    else {
        std::int64_t before = process_cpu_ns(up.child.pid);
        if (!pass_through(line.master.fd, up.console.master.fd, text, shown_size(text),
                          after_ms(60000), true))
            r.why = "upgrade did not show the whole text within 60 s";
        else {
            r.upgrade_cpu_ms = static_cast<double>(process_cpu_ns(up.child.pid) - before) / 1e6;
            double esc_ms = 0;
            ok = press_escape(group, up, esc_ms);
            if (!ok)
                r.why = "upgrade did not end on ESC";
        }
    }
    finish(group);
    close_upgrade(up);
    close_pty(line);
    return ok;
}

// `cat` from a raw line to a fresh terminal.
bool cat_echo(const Setup& setup, const std::string& text, EchoSample& r) {
    Pty line;
    Pty screen;
    Child cat;
    Group group{{&cat}};
    bool ok = false;
    Launch launch;
    launch.argv = {setup.cat};
    launch.err = {toolkit::Io::Null};
    if (!open_pty(line, toolkit::PtySettings::SerialLine) ||
        !open_pty(screen, toolkit::PtySettings::FreshTerminal)) {
        r.why = "no pty";
    } else {
        launch.in = {toolkit::Io::File, line.path};
        launch.out = {toolkit::Io::File, screen.path};
        if (!toolkit::spawn(launch, cat)) {
            r.why = "cat did not start";
        } else {
            idle_until(group, after_ms(100)); // until it reads its line
            std::int64_t before = process_cpu_ns(cat.pid);
            if (!pass_through(line.master.fd, screen.master.fd, text, shown_size(text),
                              after_ms(60000), false))
                r.why = "cat did not pass the whole text within 60 s";
            else {
                r.cat_cpu_ms = static_cast<double>(process_cpu_ns(cat.pid) - before) / 1e6;
                ok = true;
            }
        }
    }
    finish(group);
    close_pty(line);
    close_pty(screen);
    return ok;
}

} // namespace

EchoSample run_echo(const Setup& setup, std::size_t text_bytes) {
    EchoSample r;
    const std::string text = receiver_text(text_bytes);
    r.ok = cat_echo(setup, text, r) && upgrade_echo(setup, text, r);
    return r;
}

} // namespace bench
