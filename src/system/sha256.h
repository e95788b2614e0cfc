#ifndef UPGRADE_SYSTEM_SHA256_H
#define UPGRADE_SYSTEM_SHA256_H

// SHA-256 from the system's vetted implementation (Nettle, linked in statically, on POSIX
// systems; the CNG primitives on Windows): the record of a download names each image by the
// digest of its whole file, so that a production line can tell which build a receiver got.

#include <cstddef>
#include <cstdint>

constexpr std::size_t sha256_size = 32;

// A digest being computed. Plain storage for the system's own state.
struct Sha256 {
    alignas(16) std::uint8_t state[512];
};

void sha256_start(Sha256& digest);
void sha256_add(Sha256& digest, const std::uint8_t* bytes, std::size_t count);
// Ends the computation and writes the 32-byte digest.
void sha256_finish(Sha256& digest, std::uint8_t result[sha256_size]);

// The digest in lower-case hexadecimal, as records and tools show it: 64 digits and a
// terminator.
constexpr std::size_t sha256_hex_size = 2 * sha256_size + 1;
void sha256_hex(const std::uint8_t digest[sha256_size], char text[sha256_hex_size]);

// The digest of `count` bytes in one call, in hexadecimal.
void sha256_hex_of(const std::uint8_t* bytes, std::size_t count, char text[sha256_hex_size]);

#endif
