// Names from the command line shown on the console: no byte of a name may drive the terminal.

#include "system/shown_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ShownName, ControlBytesInCaretNotation) {
    struct Case {
        std::string name;
        std::string shown;
    };
    const Case cases[] = {
        {"img/rom.bin", "img/rom.bin"},
        {"\x1b]0;owned\x07rom.bin", "^[]0;owned^Grom.bin"}, // would retitle the terminal
        {"\x1b[2Jfont.bin", "^[[2Jfont.bin"},               // would clear it
        {"fake\rrom.bin", "fake^Mrom.bin"},                 // would write over its own start
        {"a\tb\nc\bd", "a^Ib^Jc^Hd"},                       // a name is one line
        {std::string("\x01\x1f\x7f", 3), "^A^_^?"},
        {"caf\xc3\xa9 \xff.bin", "caf\xc3\xa9 \xff.bin"}, // 8-bit bytes as they are
        {"", ""},
    };
    for (const Case& c : cases) {
        char shown[shown_name_size];
        EXPECT_EQ(shown_name(c.name.c_str(), shown, sizeof shown), c.shown) << c.shown;
    }
    char shown[8];
    EXPECT_STREQ(shown_name(nullptr, shown, sizeof shown), "");
}

// The longest name an image slot takes, all of it control bytes, fits; a longer one is cut,
// never between '^' and its character.
TEST(ShownName, FitsItsRoomAndCutsWhole) {
    char shown[shown_name_size];
    const std::string worst(99, '\x1b');
    EXPECT_EQ(std::string(shown_name(worst.c_str(), shown, sizeof shown)).size(), 198U);
    char small[6];
    EXPECT_STREQ(shown_name("ab\x1b\x1b", small, sizeof small), "ab^[");
    EXPECT_STREQ(shown_name("abcd\x1b", small, sizeof small), "abcd");
}

} // namespace
