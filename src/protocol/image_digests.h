#ifndef UPGRADE_PROTOCOL_IMAGE_DIGESTS_H
#define UPGRADE_PROTOCOL_IMAGE_DIGESTS_H

// The SHA-256 of each image of a download, for its record. Taken of the bytes as they are read
// to be sent, so that the record names what the receiver got even if a file is rewritten during
// the download; the bytes of a file that are never sent (the host image's first sector) count
// all the same, read from the file. Nothing here touches the download buffer's content.

#include "protocol/download.h"
#include "system/image_file.h"
#include "system/sha256.h"

#include <cstdint>

struct ImageDigests {
    Sha256 digests[image_kind_count];
    std::int64_t hashed_to[image_kind_count] = {}; // file offset each digest has reached
    bool hashing[image_kind_count] = {};
};

// Starts the digest of every image of `outcome` (the selected ones). Each ends in
// finish_digests, whatever ends the download.
void start_digests(ImageDigests& digests, const DownloadOutcome& outcome);

// Adds the bytes of `kind`'s `file` from where its digest stands up to `to`, read through a
// buffer of its own. True when they could be read (or `kind` has no digest running).
bool hash_from_file(ImageDigests& digests, ImageFile& file, ImageKind kind, std::int64_t to);

// Adds a block's `len` bytes, just read from `kind`'s file, to its digest.
void hash_block(ImageDigests& digests, ImageKind kind, const std::uint8_t* bytes,
                std::uint32_t len);

// Ends every digest into `outcome`'s images. A download that ended before an image was sent in
// full reads the rest of that file (of `files`) for it, so that its record still names the
// image; a file that cannot be read to its end has no digest (`hashed` stays false).
void finish_digests(ImageDigests& digests, ImageFile files[image_kind_count],
                    DownloadOutcome& outcome);

#endif
