// The simulator's command line: tests and the benchmark script the receiver through it, so a
// text that decodes wrongly or an option that is silently misread would fake a host fault.

#include "sim_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct EscapeCase {
    const char* text;
    bool ok;
    std::string bytes;
};

TEST(SimEscapes, DecodesOrRefuses) {
    const EscapeCase cases[] = {
        {"plain", true, "plain"},
        {"a\\r\\n\\tb", true, "a\r\n\tb"},
        {"\\\\x", true, "\\x"},
        {"\\x21\\x40", true, "!@"},
        {"\\xff", true, "\xff"},
        {"\\x7z", true, "\x07z"}, // one hex digit is enough
        {"\\x414", true, "A4"},   // at most two are taken
        {"K\\0K", true, std::string("K\0K", 3)},
        {"\\e", true, "\x1b"},
        {"\\xg", false, ""},
        {"\\q", false, ""},
        {"tail\\", false, ""},
    };
    for (const EscapeCase& c : cases) {
        std::string bytes;
        EXPECT_EQ(parse_escapes(c.text, bytes), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
    }
}

bool parse(std::vector<const char*> args, SimOptions& options) {
    bool help = false;
    return parse_sim_options(static_cast<int>(args.size()), args.data(), options, help);
}

TEST(SimOptions, ReadsValuesInBothForms) {
    SimOptions o;
    ASSERT_TRUE(parse({"--manufacturer", "0x00AD", "--device-id=8891", "--version", "2.7",
                       "--resend", "0:3", "--resend=4:1", "--mark-delay-ms", "3", "--stray",
                       "xxK\\r\\n", "--no-mark-at", "0", "--reply-short", "9"},
                      o));
    EXPECT_EQ(o.manufacturer_id, 0x00AD);
    EXPECT_EQ(o.device_id, 8891);
    EXPECT_EQ(o.version_major, 2);
    EXPECT_EQ(o.version_minor, 7);
    EXPECT_EQ(resends_for(o, 0), 3u);
    EXPECT_EQ(resends_for(o, 4), 1u);
    EXPECT_EQ(resends_for(o, 1), 0u);
    EXPECT_EQ(o.mark_delay_ms, 3);
    EXPECT_EQ(o.stray, "xxK\r\n");
    EXPECT_EQ(o.no_mark_at, 0);
    EXPECT_EQ(o.stop_reading_at, no_block);
    EXPECT_EQ(o.reply_short, 9);
    EXPECT_TRUE(o.use_pty);
}

TEST(SimOptions, ReadsWhereTheReceiverStartsAgain) {
    const struct {
        const char* value;
        RestartPoint point;
        std::int64_t block;
    } cases[] = {
        {"ready", RestartPoint::Ready, no_block},   {"reply", RestartPoint::Reply, no_block},
        {"header", RestartPoint::Header, no_block}, {"block:0", RestartPoint::Block, 0},
        {"resend:12", RestartPoint::Resend, 12},
    };
    for (const auto& c : cases) {
        SimOptions o;
        ASSERT_TRUE(parse({"--restart-at", c.value}, o)) << c.value;
        EXPECT_EQ(o.restart_at, c.point) << c.value;
        EXPECT_EQ(o.restart_block, c.block) << c.value;
    }
}

TEST(SimOptions, RefusesWhatCannotBeMeant) {
    const std::vector<std::vector<const char*>> bad = {
        {"--bogus"},
        {"--delay"}, // value missing
        {"--delay", "-5"},
        {"--delay", "5ms"},
        {"--manufacturer", "0x10000"}, // wider than 16 bits
        {"--version", "1"},
        {"--version", "1.256"},
        {"--resend", "3"},
        {"--reply-short", "11"},
        {"--text", "\\q"},
        {"--downloads", "0"},
        {"--pty", "--device", "/dev/null"},
        {"--device", "/dev/null", "--link", "/tmp/x"},
        {"--restart-at", "block"},
        {"--restart-at", "block:x"},
        {"--restart-at", "readyx"},
        {"--restart-at", "later"},
    };
    for (const auto& args : bad) {
        SimOptions o;
        EXPECT_FALSE(parse(args, o)) << args[0] << (args.size() > 1 ? args[1] : "");
    }
}

} // namespace
