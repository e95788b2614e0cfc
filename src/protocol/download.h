#ifndef UPGRADE_PROTOCOL_DOWNLOAD_H
#define UPGRADE_PROTOCOL_DOWNLOAD_H

// One download, from the access string to the return to the base speed: the receiver's
// identification, the header that lists the flash sectors to erase, the optional speed change
// for the data phase, and the images block by block, each accepted ('!') or asked for again
// ('@') by the receiver.
//
// A download never ends the program and prints nothing: it reports each step of the exchange
// as an event to the sink its caller gives (the receiver's identification, the header, each
// block with its CRC, the receiver's text, ...), and returns its outcome, with what the caller
// needs to say why. The caller decides what the person at the bench sees of it and how the
// program goes on.

#include "link/link_wait.h"
#include "link/serial_port.h"
#include "protocol/frames.h"
#include "protocol/image_plan.h"
#include "system/image_file.h"
#include "system/sha256.h"

#include <cstdint>

// How long a download waits for the receiver's mark after the end of what it sent. Without a
// bound it waits as long as the person at the bench lets it (ESC ends it). With one, a receiver
// that gives no mark in time ends the download as failed (NoAnswer), and one that announces
// itself again while a mark is awaited has started again (Restarted): the download ends at once.
enum class AnswerBound {
    None,      // wait for ever
    WorstCase, // as long as the flash chip may take at worst, plus answer_margin_ms
    Fixed,     // DownloadRequest::answer_bound_ms after every frame
};

struct DownloadRequest {
    std::uint8_t selection = 0;                    // 1 to 7: host 1, font 2, tplist 4
    std::uint32_t block_size = 0;                  // 1 to max_block_size
    std::int32_t speed_hundreds = 0;               // data phase, in hundreds of baud
    const char* file_names[image_kind_count] = {}; // the file each kind is read from
    bool digests = false; // take the SHA-256 of each image file (for the download's record)
    // How long the receiver may take to answer a frame (see AnswerBound), and the fixed bound.
    AnswerBound answer_bound = AnswerBound::None;
    std::int64_t answer_bound_ms = 0;
    // While a block goes out, report BlockOnItsWay this often, until the line has carried the
    // whole block (a full block takes 4.4 s at 115200 baud), so that a status line can move;
    // 0: never.
    int tick_ms = 0;
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
    NoAnswer,         // no mark within the bound (`amount`: the bound in ms)
    Restarted,        // the receiver announced itself again while a mark was awaited: its
                      // announcement was heard whole, and it waits for its access string
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
    bool at_data_speed = false; // the download ended with the line at the data phase's speed
    // The selected images in download order, and the bytes of every frame put on the line
    // (access string, header, each block with its trailer, resends included).
    ImageReport images[image_kind_count];
    int image_count = 0;
    std::uint64_t bytes_sent = 0;
};

// What a download reports as it goes, in this order: AccessSent; ImagesOpened (unless an
// image file could not be opened); then, once the receiver is asked for more, Identified,
// HeaderGoing, DataSpeedSet (with a speed change), and for each image ImageStarted, its blocks
// (BlockGoing, BlockOnItsWay while it goes out, BlockSent, then BlockAccepted or BlockRefused
// and BlockGoing again for the same block) and ImageDone; BaseSpeedBack; and Ended, whatever
// ended the download. ReceiverText, TextEnded and ReceiverQuiet come from the mark waits in
// between. A download that ends early stops where it is and reports Ended.
enum class ExchangeEventKind {
    Announced,     // the receiver announced itself (reported by the one who heard it, before
                   // the download starts)
    AccessSent,    // the access string went out: the receiver's download mode is open
    ImagesOpened,  // `outcome` holds the length of each selected file (before the plan's checks)
    Identified,    // `device`: the receiver's identification, its CRC right
    HeaderGoing,   // the header that makes the receiver erase is about to go out
    DataSpeedSet,  // the line is at `baud` for the data phase
    ImageStarted,  // `image` of kind `image_kind` (`size` bytes) of `image_count` begins
    BlockGoing,    // block `blk` (`len` bytes, its trailer's `crc`) goes out; `resend` again
    BlockOnItsWay, // the block is still going out: a tick (DownloadRequest::tick_ms)
    BlockSent,     // the whole frame is out and the drain is over; `last_of_image`
    BlockAccepted, // the receiver accepted the block ('!')
    BlockRefused,  // the receiver asked for the block again ('@')
    ImageDone,     // every block of the image was accepted
    BaseSpeedBack, // the line is back at the base speed: the download is complete
    ReceiverText,  // `bytes`, `count`: the receiver's own console text, as it came
    TextEnded,     // the receiver's text up to here is complete (a mark came, or a wait began)
    ReceiverQuiet, // nothing heard from the receiver for `quiet_ms` while a mark is awaited
    Ended,         // `outcome` is the download's outcome
};

struct ExchangeEvent {
    ExchangeEventKind kind = ExchangeEventKind::Ended;
    const DownloadOutcome* outcome = nullptr;
    const DeviceInfo* device = nullptr;
    std::int32_t baud = 0;
    ImageKind image_kind = ImageKind::Host;
    int image = 0; // 0-based, in download order
    int image_count = 0;
    std::uint64_t size = 0;
    std::uint32_t blk = 0;
    std::uint32_t len = 0;
    std::uint32_t crc = 0;
    bool resend = false;
    bool last_of_image = false;
    const std::uint8_t* bytes = nullptr;
    std::size_t count = 0;
    int quiet_ms = 0;
};

// Who hears a download's events: a function and what it is called with. An event and what it
// points at live only for the call. The sink runs in the download's thread, between its steps:
// what it does there delays the line.
struct ExchangeSink {
    void (*hear)(void* context, const ExchangeEvent& event) = nullptr; // nullptr: nobody
    void* context = nullptr;
};

// Runs one download on `port` (at the base speed, the announcement just seen), reading the
// reply into and sending from `buffer` (block_buffer_size bytes). The buffer is never cleared:
// the header's bytes behind its sector list and a short last block's bytes behind `len` go out
// as an earlier download left them (the receiver does not read them; the CRC covers them as
// sent). Blocks until the download ends; every wait and write watches `watch` (its stop ends
// the download as ESC), whose listener the download takes over while it runs. Reports to
// `sink` as it goes (see ExchangeEventKind).
DownloadOutcome run_download(SerialPort& port, LinkWatch& watch, std::uint8_t* buffer,
                             const DownloadRequest& request, const ExchangeSink& sink);

// What a download checks before it asks the receiver for anything beyond the access string,
// also for a plan shown before any receiver is on the line: opens each selected file of
// `request` into `files` (the last image first) and plans the download from their lengths into
// `plan`. Returns true when the download would go on; otherwise false, with `outcome` refused
// as the download refuses: ImageMissing (`kind`, `file_error`), NothingToSend,
// LargerThanRegion or TooManyBlocks (`kind`, `amount`). The files opened stay open for the
// caller to read and close. Does not look at the line.
bool open_and_plan_images(const DownloadRequest& request, ImageFile files[image_kind_count],
                          ImagePlan& plan, DownloadOutcome& outcome);

// True when `name` is an image file that can be opened for reading.
bool image_file_present(const char* name);

#endif
