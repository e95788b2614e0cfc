// The receiver drops its own announcement when the host's line sends it back. Dropping too
// little stalls the exchange (a receiver that waits for the rest of an "access string" it will
// never get); dropping too much would eat the host's real answer or hide a wrong one.

#include "sim_echo.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr std::string_view announcement = "KAL VERON KELDKAR";

struct EchoCase {
    const char* name;
    std::string received;
    std::size_t echo;
};

TEST(SimEcho, DropsOnlyTheAnnouncementSentBack) {
    const std::string a(announcement);
    const EchoCase cases[] = {
        {"the host's answer alone", "marlose-quintar", 0},
        {"the whole announcement, then the answer", a + "marlose-quintar", 17},
        {"its tail: the line came up halfway through it", "DKARmarlose", 4},
        {"its head, the rest still on its way", "KAL VERON KEL", 13},
        {"two announcements end to end", a + a + "marlose", 34},
        {"the tail of one and the head of the next", "KARKAL VERON KEL", 16},
        {"a wrong answer is not an echo", "marlose-quintaX", 0},
        {"bytes the receiver never sent", "xyz", 0},
        {"an echo broken off by a foreign byte", "KAL VERXN", 7},
        {"nothing received", "", 0},
    };
    for (const EchoCase& c : cases) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.received.data());
        EXPECT_EQ(echo_length(announcement, bytes, c.received.size(), 'm'), c.echo) << c.name;
    }
}

TEST(SimEcho, StrayBytesBeforeTheAnnouncementAreEchoedWithIt) {
    const std::string sent = std::string("xxK\r\n") + std::string(announcement);
    const std::string received = "K\r\nKAL VERON KELDKARxxKmarlose";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(received.data());
    EXPECT_EQ(echo_length(sent, bytes, received.size(), 'm'), received.size() - 7);
}

TEST(SimEcho, NothingIsAnEchoOfNothing) {
    const std::uint8_t byte = 'K';
    EXPECT_EQ(echo_length("", &byte, 1, 'm'), 0u);
}

} // namespace
