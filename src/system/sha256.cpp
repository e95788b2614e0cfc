#include "system/sha256.h"

// The part of SHA-256 that is the same on every system.

void sha256_hex(const std::uint8_t digest[sha256_size], char text[sha256_hex_size]) {
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < sha256_size; ++i) {
        text[2 * i] = digits[digest[i] >> 4];
        text[2 * i + 1] = digits[digest[i] & 0x0F];
    }
    text[2 * sha256_size] = '\0';
}

void sha256_hex_of(const std::uint8_t* bytes, std::size_t count, char text[sha256_hex_size]) {
    Sha256 digest{};
    sha256_start(digest);
    sha256_add(digest, bytes, count);
    std::uint8_t result[sha256_size];
    sha256_finish(digest, result);
    sha256_hex(result, text);
}
