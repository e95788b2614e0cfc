#ifndef UPGRADE_TESTS_HELPERS_IMAGES_H
#define UPGRADE_TESTS_HELPERS_IMAGES_H

// Test images and the files they are kept in. The contents are random-looking (they do not
// compress, and no two blocks are alike, so a block sent twice or in the wrong place shows) but
// the same in every run: a seed picks them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace helpers {

// `size` bytes of a xorshift sequence started from `seed`; different for every seed.
std::vector<std::uint8_t> image_bytes(std::size_t size, std::uint32_t seed);

// Writes `bytes` as the whole of the file at `path`; false when it could not.
bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);

// The whole of the file at `path`; empty when it cannot be read.
std::vector<std::uint8_t> read_file(const std::string& path);

} // namespace helpers

#endif
