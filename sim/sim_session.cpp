#include "sim_session.h"

#include <cstdio>

namespace {

// --chatter-ms sends a piece of text this often.
constexpr std::int64_t chatter_piece_us = 500;

// --chatter-ms: a receiver that reports its progress without a pause, from the end of a frame
// until `until_us`: a piece of text every chatter_piece_us, about 2 MB/s, faster than a host
// that takes its input a byte at a time can read it. The text holds no mark.
Outcome chatter(Sim& sim, std::int64_t until_us) {
    std::string piece;
    while (piece.size() < 1024)
        piece += "flash: erasing and programming, sector by sector ...\r\n";
    for (std::int64_t next_us = sim_now_us(); next_us < until_us; next_us += chatter_piece_us) {
        const Outcome sent = write_line(sim, piece, "talking");
        if (sent != Outcome::Done)
            return sent;
        const LineStatus paused = pause_until(sim.line, next_us);
        if (paused != LineStatus::Ok)
            return line_outcome(sim, paused, "talking");
    }
    return Outcome::Done;
}

} // namespace

Outcome write_line(Sim& sim, const std::string& bytes, const char* doing) {
    const LineStatus status =
        write_bytes(sim.line, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return status == LineStatus::Ok ? Outcome::Done : line_outcome(sim, status, doing);
}

Outcome send_mark(Sim& sim, std::int64_t frame_end_us, const std::string& text, std::uint8_t mark) {
    if (sim.options.chatter_ms > 0) {
        const Outcome talked = chatter(sim, frame_end_us + sim.options.chatter_ms * us_per_ms);
        if (talked != Outcome::Done)
            return talked;
    }
    const LineStatus status =
        pause_until(sim.line, frame_end_us + sim.options.mark_delay_ms * us_per_ms);
    if (status != LineStatus::Ok)
        return line_outcome(sim, status, "waiting to answer");
    return write_line(sim, text + static_cast<char>(mark), "sending a mark");
}

bool restart_due(const Sim& sim, RestartPoint point, std::int64_t block) {
    return !sim.restarted && sim.options.restart_at == point &&
           (block == no_block || block == sim.options.restart_block);
}

Outcome restart(Sim& sim, const char* where) {
    sim.restarted = true;
    report_line(sim.report, "restart %s", where);
    // A receiver without power hears nothing: what the host sends meanwhile is lost.
    const std::int64_t until_us = sim_now_us() + sim.options.restart_silence_ms * us_per_ms;
    std::uint8_t lost[4096];
    for (;;) {
        std::size_t got = 0;
        const LineStatus status = read_bytes(sim.line, lost, sizeof lost, got, until_us);
        if (status == LineStatus::Deadline)
            break;
        if (status != LineStatus::Ok)
            return line_outcome(sim, status, "silent while starting again");
    }
    set_line_speed(sim.line, 57600);
    return Outcome::Restarted;
}

Outcome line_outcome(Sim& sim, LineStatus status, const char* waiting_for) {
    switch (status) {
    case LineStatus::Closed:
        report_line(sim.report, "closed %s", waiting_for);
        std::fprintf(stderr, "receiver-sim: the host closed the line (%s)\n", waiting_for);
        return Outcome::Closed;
    case LineStatus::Interrupted:
        std::fprintf(stderr, "receiver-sim: stopped by signal %d (%s)\n", stop_signal(),
                     waiting_for);
        return Outcome::Interrupted;
    case LineStatus::Ok:
    case LineStatus::Deadline:
    case LineStatus::Timeout:
        break;
    }
    report_line(sim.report, "timeout %s", waiting_for);
    std::fprintf(stderr, "receiver-sim: timed out after %d s (%s)\n", sim.options.timeout_s,
                 waiting_for);
    return Outcome::Timeout;
}
