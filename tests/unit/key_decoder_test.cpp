// The key decoder over the one table of key sequences, with no terminal: each sequence whole, cut
// in two at every place (as two reads of the keyboard would take it) and byte by byte.

#include "helpers/key_sequences.h"
#include "system/key_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using helpers::KeySequence;

const std::uint8_t* bytes_of(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Feeds `keys` in pieces that end at `cuts` (ascending, inside the text), then decides.
bool escape_in_pieces(const std::string& keys, const std::vector<std::size_t>& cuts) {
    KeyDecoder decoder;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        decode_keys(decoder, bytes_of(keys) + from, cut - from);
        from = cut;
    }
    decode_keys(decoder, bytes_of(keys) + from, keys.size() - from);
    return decide_keys(decoder);
}

class Keys : public ::testing::TestWithParam<KeySequence> {};

// Whole, in one read. A key that is not ESC is known for what it is at once: the keyboard need
// not wait for more. A sequence with ESC cannot end the look before what follows it is known,
// unless that is already there.
TEST_P(Keys, Whole) {
    const KeySequence& keys = GetParam();
    KeyDecoder decoder;
    const KeyVerdict verdict = decode_keys(decoder, bytes_of(keys.bytes), keys.bytes.size());
    if (keys.is_escape) {
        EXPECT_NE(verdict, KeyVerdict::NoEscape);
    } else {
        EXPECT_EQ(verdict, KeyVerdict::NoEscape);
    }
    EXPECT_EQ(decide_keys(decoder), keys.is_escape);
}

// Cut in two anywhere, the sequence means what it means whole. A key of several bytes cut short
// asks for the rest instead of passing for a lone ESC, which would end the download on an
// arrow key whose bytes came in two reads.
TEST_P(Keys, CutInTwo) {
    const KeySequence& keys = GetParam();
    const bool one_key_after_esc = !keys.is_escape && keys.bytes.size() > 1;
    for (std::size_t cut = 1; cut < keys.bytes.size(); ++cut) {
        KeyDecoder decoder;
        const KeyVerdict first = decode_keys(decoder, bytes_of(keys.bytes), cut);
        if (one_key_after_esc) {
            EXPECT_EQ(first, KeyVerdict::NeedMore) << "cut after " << cut;
        }
        decode_keys(decoder, bytes_of(keys.bytes) + cut, keys.bytes.size() - cut);
        EXPECT_EQ(decide_keys(decoder), keys.is_escape) << "cut after " << cut;
    }
}

TEST_P(Keys, ByteByByte) {
    const std::string& bytes = GetParam().bytes;
    std::vector<std::size_t> cuts;
    for (std::size_t cut = 1; cut < bytes.size(); ++cut)
        cuts.push_back(cut);
    EXPECT_EQ(escape_in_pieces(bytes, cuts), GetParam().is_escape);
}

INSTANTIATE_TEST_SUITE_P(KeyDecoder, Keys, ::testing::ValuesIn(helpers::key_sequences),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// A key cut off before its end (the rest never came) is dropped, not taken for ESC; an ESC
// inside a terminal's answer that is not followed by its backslash starts a key anew.
TEST(KeyDecoder, UnfinishedKeysAreDroppedAndAStringCutByEscStartsOver) {
    struct Case {
        const char* name;
        std::string bytes;
        bool is_escape;
    };
    const Case cases[] = {
        {"csi_without_its_final_byte", "\x1b[1;5", false},
        {"answer_without_its_end", "\x1b]11;rgb:00", false},
        {"answer_cut_by_an_arrow_key", "\x1b]11;rgb\x1b[A", false},
        {"answer_cut_by_esc", "\x1b]11;rgb\x1b", true},
        {"nothing", "", false},
    };
    for (const Case& c : cases) {
        KeyDecoder decoder;
        decode_keys(decoder, bytes_of(c.bytes), c.bytes.size());
        EXPECT_EQ(decide_keys(decoder), c.is_escape) << c.name;
    }
}

} // namespace
