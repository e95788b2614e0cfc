#include "driver/run_loop.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Feeds the line's bytes to the matcher and returns after how many bytes it saw the
// announcement each time.
std::vector<std::size_t> matches_in(const std::string& line) {
    char buffer[announcement_size];
    int position = 0;
    std::vector<std::size_t> seen;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (match_announcement(buffer, position, static_cast<unsigned char>(line[i])))
            seen.push_back(i + 1);
    }
    return seen;
}

struct LineCase {
    const char* what;
    std::string line;
    std::vector<std::size_t> seen;
};

TEST(Announcement, MatchingRules) {
    const std::string a = "KAL VERON KELDKAR";
    const LineCase cases[] = {
        {"plain", a, {17}},
        {"stray bytes and a stray K are dropped", "xxK" + a, {20}},
        {"last character changed", "KAL VERON KELDKAX", {}},
        {"changed, then a good one", "KAL VERON KELDKAX" + a, {34}},
        {"ten stray bytes put its K at position 10: missed", "0123456789" + a, {}},
        {"ten stray bytes, then two announcements", "0123456789" + a + a, {44}},
        {"fourteen stray bytes: missed too", "0123456789abcd" + a, {}},
        {"lower case", "kal veron keldkar", {}},
        {"twice in a row", a + a, {17, 34}},
        {"bytes of every value before it", std::string("\x00\xff\r\n", 4) + a, {21}},
    };
    for (const LineCase& c : cases)
        EXPECT_EQ(matches_in(c.line), c.seen) << c.what;
}

} // namespace
