#include "sim_session.h"

#include <cstdio>

Outcome write_line(Sim& sim, const std::string& bytes, const char* doing) {
    const LineStatus status =
        write_bytes(sim.line, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return status == LineStatus::Ok ? Outcome::Done : line_outcome(sim, status, doing);
}

Outcome send_mark(Sim& sim, std::int64_t frame_end_us, const std::string& text, std::uint8_t mark) {
    const LineStatus status =
        pause_until(sim.line, frame_end_us + sim.options.mark_delay_ms * us_per_ms);
    if (status != LineStatus::Ok)
        return line_outcome(sim, status, "waiting to answer");
    return write_line(sim, text + static_cast<char>(mark), "sending a mark");
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
