#include "protocol/image_digests.h"

void start_digests(ImageDigests& digests, const DownloadOutcome& outcome) {
    for (int i = 0; i < outcome.image_count; ++i) {
        const int k = static_cast<int>(outcome.images[i].kind);
        sha256_start(digests.digests[k]);
        digests.hashing[k] = true;
    }
}

bool hash_from_file(ImageDigests& digests, ImageFile& file, ImageKind kind, std::int64_t to) {
    const int k = static_cast<int>(kind);
    if (!digests.hashing[k])
        return true;
    std::uint8_t piece[16384];
    while (digests.hashed_to[k] < to) {
        const std::int64_t left = to - digests.hashed_to[k];
        const auto count = static_cast<std::size_t>(
            left < std::int64_t{sizeof piece} ? left : std::int64_t{sizeof piece});
        if (!read_image_file(file, digests.hashed_to[k], piece, count))
            return false;
        sha256_add(digests.digests[k], piece, count);
        digests.hashed_to[k] += static_cast<std::int64_t>(count);
    }
    return true;
}

void hash_block(ImageDigests& digests, ImageKind kind, const std::uint8_t* bytes,
                std::uint32_t len) {
    const int k = static_cast<int>(kind);
    if (!digests.hashing[k])
        return;
    sha256_add(digests.digests[k], bytes, len);
    digests.hashed_to[k] += len;
}

void finish_digests(ImageDigests& digests, ImageFile files[image_kind_count],
                    DownloadOutcome& outcome) {
    for (int i = 0; i < outcome.image_count; ++i) {
        ImageReport& image = outcome.images[i];
        const int k = static_cast<int>(image.kind);
        if (!digests.hashing[k])
            continue;
        const bool whole = digests.hashed_to[k] == image.length ||
                           hash_from_file(digests, files[k], image.kind, image.length);
        sha256_finish(digests.digests[k], image.sha256);
        image.hashed = whole;
        digests.hashing[k] = false;
    }
}
