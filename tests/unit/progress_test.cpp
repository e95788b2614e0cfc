// The status line's count: the block in flight is on the line before the receiver accepts it,
// and only the acceptance of the last block makes an image 100 %.

#include "driver/progress.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The line has no flow control: it carries a block at its own pace, whatever the driver took.
TEST(BytesOnLine, WhatTheLineCarriedAtItsSpeed) {
    struct Case {
        const char* name;
        std::uint32_t len;
        std::int64_t elapsed_ms;
        std::int64_t bytes_per_s;
        std::uint64_t shown;
    };
    const Case cases[] = {
        {"nothing yet", 51200, 0, 11520, 0},
        {"a second at 115200 baud", 51200, 1000, 11520, 11520},
        {"a quarter of a second at 38400 baud", 16384, 250, 3840, 960},
        {"never more than the block", 51200, 10000, 11520, 51200},
        {"a speed not known counts nothing", 51200, 1000, 0, 0},
        {"a clock that went back counts nothing", 51200, -5, 11520, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bytes_on_line(c.len, c.elapsed_ms, c.bytes_per_s), c.shown) << c.name;
}

std::string text_of(const Progress& progress, std::int64_t now) {
    char text[160];
    progress_text(progress, now, text, sizeof text);
    return text;
}

TEST(ProgressText, CountsTheBlockInFlightButWaitsForTheLastMark) {
    Progress progress;
    progress.kind = ImageKind::Tplist;
    progress.size = 100000;
    progress.accepted = 51200;
    progress.in_flight = 20000;
    EXPECT_EQ(text_of(progress, 0), "tplist    71200 of   100000 bytes  71%");
    // The last block out whole, its mark not yet in.
    progress.in_flight = 48800;
    EXPECT_EQ(text_of(progress, 0), "tplist   100000 of   100000 bytes  99%");
    progress.in_flight = 0;
    progress.accepted = 100000;
    EXPECT_EQ(text_of(progress, 0), "tplist   100000 of   100000 bytes 100%");
    // The rate and the time left from the bytes on the line.
    progress.accepted = 51200;
    progress.in_flight = 8800;
    EXPECT_EQ(text_of(progress, 5000),
              "tplist    60000 of   100000 bytes  60%    12.0 kB/s  0:03 left");
}

} // namespace
