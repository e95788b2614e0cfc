#include "system/key_decoder.h"

namespace {

constexpr std::uint8_t esc = 27;
constexpr std::uint8_t bel = 7;

bool starts_string(std::uint8_t byte) {
    return byte == ']' || byte == 'P' || byte == 'X' || byte == '^' || byte == '_';
}

void decode_byte(KeyDecoder& decoder, std::uint8_t byte) {
    switch (decoder.state) {
    case KeyState::Between:
        if (byte == esc)
            decoder.state = KeyState::Escape;
        return;
    case KeyState::Escape:
        // ESC pressed twice: the first is ESC, the second starts over. Keys pressed while the
        // keyboard was not being looked at pile up, and a second ESC must not cancel the first.
        if (byte == esc) {
            decoder.escape = true;
            return;
        }
        decoder.state = byte == '['           ? KeyState::Csi
                        : byte == 'O'         ? KeyState::Ss3
                        : starts_string(byte) ? KeyState::String
                                              : KeyState::Between; // Alt with a key
        return;
    case KeyState::Csi:
        if (byte == esc)
            decoder.state = KeyState::Escape;
        else if (byte >= 0x40 && byte <= 0x7E)
            decoder.state = KeyState::Between;
        return;
    case KeyState::Ss3:
        decoder.state = byte == esc ? KeyState::Escape : KeyState::Between;
        return;
    case KeyState::String:
        if (byte == bel)
            decoder.state = KeyState::Between;
        else if (byte == esc)
            decoder.state = KeyState::StringEscape;
        return;
    case KeyState::StringEscape:
        // ESC \ ends the string; an ESC followed by anything else cut it short and starts anew.
        if (byte == '\\') {
            decoder.state = KeyState::Between;
            return;
        }
        decoder.state = KeyState::Escape;
        decode_byte(decoder, byte);
        return;
    }
}

} // namespace

KeyVerdict decode_keys(KeyDecoder& decoder, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t at = 0; at < count; ++at)
        decode_byte(decoder, bytes[at]);
    if (decoder.state != KeyState::Between)
        return KeyVerdict::NeedMore;
    return decoder.escape ? KeyVerdict::Escape : KeyVerdict::NoEscape;
}

bool decide_keys(const KeyDecoder& decoder) {
    return decoder.escape || decoder.state == KeyState::Escape ||
           decoder.state == KeyState::StringEscape;
}
