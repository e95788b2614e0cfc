#include "system/sha256.h"

// SHA-256 through Nettle.

#include <nettle/sha2.h>

#include <new>

static_assert(sizeof(sha256_ctx) <= sizeof(Sha256::state));
static_assert(alignof(sha256_ctx) <= 16);

namespace {

sha256_ctx* context(Sha256& digest) {
    return std::launder(reinterpret_cast<sha256_ctx*>(digest.state));
}

} // namespace

void sha256_start(Sha256& digest) {
    sha256_init(new (digest.state) sha256_ctx);
}

void sha256_add(Sha256& digest, const std::uint8_t* bytes, std::size_t count) {
    sha256_update(context(digest), count, bytes);
}

void sha256_finish(Sha256& digest, std::uint8_t result[sha256_size]) {
    sha256_digest(context(digest), sha256_size, result);
}
