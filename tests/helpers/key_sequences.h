#ifndef UPGRADE_TESTS_HELPERS_KEY_SEQUENCES_H
#define UPGRADE_TESTS_HELPERS_KEY_SEQUENCES_H

// What a terminal sends when keys are pressed, and whether the program must take it as ESC: the
// one table for the key decoder's unit test, the link waits' test and the end-to-end tests that
// press keys on the program's console. A sequence that is not ESC is one key: one byte, or
// several that start with ESC, as a terminal sends them in one burst. A sequence that is ESC
// holds it as a key of its own among others.

#include <string>

namespace helpers {

struct KeySequence {
    const char* name;
    std::string bytes;
    bool is_escape; // ESC was pressed: the download ends
};

inline const KeySequence key_sequences[] = {
    {"esc", "\x1b", true},
    {"letter", "q", false},
    {"enter", "\r", false},
    {"arrow_up", "\x1b[A", false},
    {"delete_key", "\x1b[3~", false},
    {"function_key_f5", "\x1b[15~", false},
    {"function_key_f1_ss3", "\x1bOP", false},
    // A byte right behind ESC makes one key that is not ESC, whole.
    {"alt_x", "\x1bx", false},
    // The terminal's own answers to queries: colours, device attributes, a setting.
    {"colour_answer_ended_by_bel", "\x1b]11;rgb:0000/0000/0000\x07", false},
    {"colour_answer_ended_by_st", "\x1b]11;rgb:1c1c/1c1c/1c1c\x1b\\", false},
    {"device_attributes_answer", "\x1b[?64;1;2;6;22c", false},
    {"setting_answer_ended_by_st", "\x1bP1$r0;1m\x1b\\", false},
    // Keys that piled up while nobody looked.
    {"letter_then_esc", "q\x1b", true},
    {"arrow_then_esc_in_one_burst", "\x1b[B\x1b", true},
    {"answer_then_esc", "\x1b]11;rgb:ffff/ffff/ffff\x1b\\\x1b", true},
    // ESC twice is still ESC, also with a key behind the second.
    {"esc_pressed_twice", "\x1b\x1b", true},
    {"esc_then_alt_x", "\x1b\x1bx", true},
};

} // namespace helpers

#endif
