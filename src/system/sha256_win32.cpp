#include "system/sha256.h"

// SHA-256 through the system's CNG primitives.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <bcrypt.h>

#include <cstring>

namespace {

// The state holds the algorithm's and the hash's handles; CNG keeps its own objects.
struct Handles {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

static_assert(sizeof(Handles) <= sizeof(Sha256::state));

Handles handles_of(const Sha256& digest) {
    Handles handles;
    std::memcpy(&handles, digest.state, sizeof handles);
    return handles;
}

} // namespace

void sha256_start(Sha256& digest) {
    Handles handles;
    if (BCryptOpenAlgorithmProvider(&handles.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        handles.algorithm = nullptr;
    } else if (BCryptCreateHash(handles.algorithm, &handles.hash, nullptr, 0, nullptr, 0, 0) != 0) {
        handles.hash = nullptr;
    }
    std::memcpy(digest.state, &handles, sizeof handles);
}

void sha256_add(Sha256& digest, const std::uint8_t* bytes, std::size_t count) {
    const Handles handles = handles_of(digest);
    while (handles.hash != nullptr && count > 0) {
        const ULONG piece = count > 0x40000000U ? 0x40000000U : static_cast<ULONG>(count);
        BCryptHashData(handles.hash, const_cast<PUCHAR>(bytes), piece, 0);
        bytes += piece;
        count -= piece;
    }
}

void sha256_finish(Sha256& digest, std::uint8_t result[sha256_size]) {
    const Handles handles = handles_of(digest);
    std::memset(result, 0, sha256_size);
    if (handles.hash != nullptr) {
        BCryptFinishHash(handles.hash, result, sha256_size, 0);
        BCryptDestroyHash(handles.hash);
    }
    if (handles.algorithm != nullptr)
        BCryptCloseAlgorithmProvider(handles.algorithm, 0);
}
