#include "driver/progress.h"

#include "system/clock.h"
#include "system/console.h"

#include <cmath>
#include <cstdio>

namespace {

// A terminal line is redrawn at most this often, and always at the image's end: a block of a
// few hundred bytes must not cost a redraw each.
constexpr std::int64_t redraw_ms = 200;

const char* kind_label(ImageKind kind) {
    return image_kind_info(kind).label;
}

void draw(Progress& progress, std::int64_t now) {
    char text[160];
    progress_text(progress, now, text, sizeof text);
    show_status(text);
    progress.shown_ms = now;
}

} // namespace

void progress_image(Progress& progress, ImageKind kind, std::uint64_t size) {
    progress.kind = kind;
    progress.size = size;
    progress.accepted = 0;
    progress.in_flight = 0;
    progress.start_ms = now_ms();
    progress.shown_ms = -1;
    progress.tenths_shown = 0;
    if (progress.terminal)
        draw(progress, progress.start_ms);
}

void progress_block_start(Progress& progress) {
    progress.in_flight = 0;
    progress.block_ms = now_ms();
}

void progress_sending(Progress& progress, std::uint32_t len) {
    const std::int64_t now = now_ms();
    progress.in_flight = bytes_on_line(len, now - progress.block_ms, progress.line_bytes_per_s);
    if (progress.terminal && now - progress.shown_ms >= redraw_ms)
        draw(progress, now);
}

void progress_accepted(Progress& progress, std::uint32_t len) {
    progress.in_flight = 0;
    progress.accepted += len;
    const std::int64_t now = now_ms();
    if (progress.terminal) {
        if (progress.accepted == progress.size || now - progress.shown_ms >= redraw_ms)
            draw(progress, now);
        return;
    }
    // A plain line at every tenth reached, one line per tenth even when a block spans several.
    const auto tenths =
        static_cast<int>(progress.size == 0 ? 10 : progress.accepted * 10 / progress.size);
    if (tenths > progress.tenths_shown) {
        progress.tenths_shown = tenths;
        char text[160];
        progress_text(progress, now, text, sizeof text);
        say("%s\n", text);
    }
}

void progress_end(Progress& progress) {
    if (progress.terminal && progress.shown_ms >= 0)
        end_status();
    progress.shown_ms = -1;
}

int progress_text(const Progress& progress, std::int64_t now, char* text, int size) {
    const std::uint64_t shown = progress.accepted + progress.in_flight;
    std::uint64_t percent = progress.size == 0 ? 100 : shown * 100 / progress.size;
    // Only the receiver's acceptance of the last block completes the image.
    if (percent >= 100 && progress.accepted < progress.size)
        percent = 99;
    const std::int64_t elapsed_ms = now - progress.start_ms;
    int length = std::snprintf(
        text, static_cast<std::size_t>(size), "%-6s %8llu of %8llu bytes %3llu%%",
        kind_label(progress.kind), static_cast<unsigned long long>(shown),
        static_cast<unsigned long long>(progress.size), static_cast<unsigned long long>(percent));
    // The rate needs a moment of history to mean anything.
    if (elapsed_ms >= 500 && shown > 0 && length < size) {
        const double rate = static_cast<double>(shown) * 1000.0 / static_cast<double>(elapsed_ms);
        const std::uint64_t left = progress.size > shown ? progress.size - shown : 0;
        const auto left_s = static_cast<long long>(std::llround(static_cast<double>(left) / rate));
        length += std::snprintf(text + length, static_cast<std::size_t>(size - length),
                                "  %6.1f kB/s  %lld:%02lld left", rate / 1000.0, left_s / 60,
                                left_s % 60);
    }
    return length < size ? length : size - 1;
}
