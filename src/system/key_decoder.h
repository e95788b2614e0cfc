#ifndef UPGRADE_SYSTEM_KEY_DECODER_H
#define UPGRADE_SYSTEM_KEY_DECODER_H

// Tells the ESC key from the other keys in the bytes a terminal sends. A terminal sends ESC for
// the ESC key, but ESC also starts many other keys and its own answers to queries: an arrow or
// function key (ESC [ ... or ESC O x), Alt with a key (ESC x), and the terminal's answers
// (ESC ] ..., ESC P ..., ended by BEL or ESC \). They come in one burst, so an ESC is the ESC
// key when nothing follows it at once. Bytes in, a verdict out: the keyboard of each system
// reads the bytes and decides how long "at once" lasts; nothing here touches the system.

#include <cstddef>
#include <cstdint>

// Where the reading of keys stands: between keys, right after an ESC, or inside a sequence that
// follows an ESC (CSI ESC [, SS3 ESC O, a string ESC ] / P / X / ^ / _ and an ESC inside it).
enum class KeyState : std::uint8_t { Between, Escape, Csi, Ss3, String, StringEscape };

// One look at the keyboard: start a new one for each look.
struct KeyDecoder {
    KeyState state = KeyState::Between;
    bool escape = false; // a lone ESC was seen
};

// What the bytes taken so far make.
enum class KeyVerdict {
    NoEscape, // whole keys, none of them ESC (or no key at all): nothing to wait for
    Escape,   // ESC was pressed, and the keys behind it are whole
    NeedMore, // a key is unfinished (an ESC, or a sequence whose end has not come): whether
              // it is ESC depends on what follows at once; read that, then decide_keys
};

// Takes the next `count` bytes the terminal gave, which may end anywhere in a key: the rest of
// a key cut between two reads is taken up where it was left. Returns the verdict so far.
KeyVerdict decode_keys(KeyDecoder& decoder, const std::uint8_t* bytes, std::size_t count);

// Nothing more followed at once: an ESC with nothing behind it is the ESC key, an unfinished
// sequence is dropped. True when ESC was pressed. ESC pressed twice is ESC.
bool decide_keys(const KeyDecoder& decoder);

#endif
