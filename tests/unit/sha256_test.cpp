#include "system/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex_digest(const std::string& message, std::size_t piece) {
    Sha256 digest;
    sha256_start(digest);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    for (std::size_t at = 0; at < message.size(); at += piece)
        sha256_add(digest, bytes + at, std::min(piece, message.size() - at));
    std::uint8_t result[sha256_size];
    sha256_finish(digest, result);
    char hex[sha256_hex_size];
    sha256_hex(result, hex);
    return hex;
}

// The test vectors published with the standard, fed whole and in uneven pieces.
TEST(Sha256, StandardTestVectors) {
    struct Vector {
        std::string message;
        const char* digest;
    };
    const Vector vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Vector& v : vectors) {
        for (const std::size_t piece : {std::size_t{1000000}, std::size_t{7}, std::size_t{64}}) {
            if (v.message.size() > 1000 && piece == 7)
                continue;
            EXPECT_EQ(hex_digest(v.message, piece), v.digest)
                << v.message.size() << " bytes in pieces of " << piece;
        }
    }
}

} // namespace
