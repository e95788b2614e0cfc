#include "protocol/line_time.h"

std::int64_t header_answer_bound_ms(std::size_t sectors) {
    return static_cast<std::int64_t>(sectors) * sector_erase_worst_ms + answer_margin_ms;
}

std::int64_t block_answer_bound_ms(std::size_t frame_bytes, std::int32_t baud, std::uint32_t len) {
    // Ten bits a byte on the line; the write returned once the system took the frame, which
    // may be long before its last byte leaves a USB adapter.
    const std::int64_t on_line_ms =
        baud > 0 ? (static_cast<std::int64_t>(frame_bytes) * 10 * 1000 + baud - 1) / baud : 0;
    const std::int64_t program_ms = (std::int64_t{len} * byte_program_worst_us + 999) / 1000;
    return on_line_ms + program_ms + answer_margin_ms;
}

std::uint64_t bytes_on_line(std::uint32_t len, std::int64_t elapsed_ms, std::int64_t bytes_per_s) {
    if (elapsed_ms <= 0 || bytes_per_s <= 0)
        return 0;
    const auto carried = static_cast<std::uint64_t>(elapsed_ms * bytes_per_s / 1000);
    return carried < len ? carried : len;
}
