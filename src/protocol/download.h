#ifndef UPGRADE_PROTOCOL_DOWNLOAD_H
#define UPGRADE_PROTOCOL_DOWNLOAD_H

// One download, from the access string to the return to the base speed: the receiver's
// identification, the header that lists the flash sectors to erase, the optional speed change
// for the data phase, and the images block by block, each accepted ('!') or asked for again
// ('@') by the receiver.
//
// A download never ends the program and prints no error of its own: it returns its outcome,
// with what the caller needs to say why, and the caller decides what to print and how the
// program goes on. What it does print is the exchange's own console text (the progress lines,
// the device report, the headings).

#include "link/serial_port.h"
#include "system/image_file.h"
#include "system/sha256.h"
#include "protocol/frames.h"
#include "protocol/image_plan.h"

#include <cstdint>

struct DownloadRequest {
    std::uint8_t selection = 0;                    // 1 to 7: host 1, font 2, tplist 4
    std::uint32_t block_size = 0;                  // 1 to max_block_size
    std::int32_t speed_hundreds = 0;               // data phase, in hundreds of baud
    const char* file_names[image_kind_count] = {}; // the file each kind is read from
    bool digests = false;  // take the SHA-256 of each image file (for the download's record)
    bool progress = false; // a status line per image instead of a fragment per block
};

// How a download ended.
enum class DownloadResult {
    Finished, // every block accepted, the line back at the base speed
    Refused,  // before the receiver was asked for anything beyond the access string
    Failed,   // the exchange went wrong (`reason` says how)
    Escaped,  // the user pressed ESC
    LineLost, // the serial device went away (`lost_error` says why)
};

// Why a download was refused or failed.
enum class DownloadReason {
    None,
    NoImageFile,      // detection found none of the image files
    ImageMissing,     // `kind`'s file cannot be opened
    NothingToSend,    // `kind`'s file has no byte to send (`amount`: its size to send)
    LargerThanRegion, // `kind`'s image does not fit its flash region (`amount`: bytes to send)
    TooManyBlocks,    // more blocks than blk can count (`amount`: the download's blocks)
    ShortReply,       // the identification did not arrive in time (`amount`: bytes received)
    ReplyCrc,         // the identification's CRC is wrong (`reply` has both CRCs)
    SpeedRefused,     // the port cannot be set to `amount` baud
    ImageUnreadable,  // `kind`'s file could not be read in full
};

// What a download did with one of its images, as far as it got.
struct ImageReport {
    ImageKind kind = ImageKind::Host;
    std::int64_t length = -1; // of the file as opened; -1: not opened
    std::uint32_t blocks = 0; // planned; 0: not planned
    std::uint32_t resends = 0;
    std::uint32_t accepted_blocks = 0; // blocks the receiver accepted
    std::uint64_t accepted_bytes = 0;  // image bytes in them
    bool hashed = false;               // `sha256` holds the digest of the whole file
    std::uint8_t sha256[sha256_size] = {};
};

struct DownloadOutcome {
    DownloadResult result = DownloadResult::Finished;
    DownloadReason reason = DownloadReason::None;
    ImageKind kind = ImageKind::Host;
    std::int64_t amount = 0;
    DeviceInfo reply;        // the identification as received, once it was read
    bool reply_read = false; // `reply` arrived whole and passed its CRC check
    int lost_error = 0;      // with LineLost: the system's reason, as an errno value
    int file_error = 0;      // with ImageMissing: why the file could not be opened (image_file.h)
    // The selected images in download order, and the bytes of every frame put on the line
    // (access string, header, each block with its trailer, resends included).
    ImageReport images[image_kind_count];
    int image_count = 0;
    std::uint64_t bytes_sent = 0;
};

// Runs one download on `port` (at the base speed, the announcement just seen), reading the
// reply into and sending from `buffer` (block_buffer_size bytes). The buffer is never cleared:
// the header's bytes behind its sector list and a short last block's bytes behind `len` go out
// as an earlier download left them (the receiver does not read them; the CRC covers them as
// sent). Blocks until the download ends; looks at the keyboard while it waits for the receiver
// and while it sends.
DownloadOutcome run_download(SerialPort& port, std::uint8_t* buffer,
                             const DownloadRequest& request);

// What a download checks before it asks the receiver for anything beyond the access string,
// also for a plan shown before any receiver is on the line: opens each selected file of
// `request` into `files` (the last image first) and plans the download from their lengths into
// `plan`. Returns true when the download would go on; otherwise false, with `outcome` refused
// as the download refuses: ImageMissing (`kind`, `file_error`), NothingToSend,
// LargerThanRegion or TooManyBlocks (`kind`, `amount`). The files opened stay open for the
// caller to read and close. Does not look at the keyboard; prints nothing.
bool open_and_plan_images(const DownloadRequest& request, ImageFile files[image_kind_count],
                          ImagePlan& plan, DownloadOutcome& outcome);

// True when `name` is an image file that can be opened for reading.
bool image_file_present(const char* name);

#endif
