#ifndef UPGRADE_DRIVER_PROGRESS_H
#define UPGRADE_DRIVER_PROGRESS_H

// Progress a person can follow (/progress): instead of a fragment per block, one status line
// per image with the bytes on the line of the image's total, the percentage, the rate and the
// time left. On a terminal the line is redrawn in place and the receiver's text is shown above
// it; otherwise a plain line is printed at every tenth of the image. The progress only reports
// what the download does; it changes nothing on the line.
//
// A block of 51200 bytes takes 4.4 s at 115200 baud, so the status line counts the block in
// flight too and is redrawn while it goes out; only the receiver's acceptance of the last
// block makes it say 100 %. The plain lines count accepted bytes alone.

#include "protocol/image_plan.h"
#include "protocol/line_time.h"

#include <cstddef>
#include <cstdint>

// How often the status line is redrawn while a block goes out (at most every redraw_ms, see
// progress.cpp): at least once a second, at most five times.
constexpr int progress_tick_ms = 250;

struct Progress {
    bool on = false;                   // /progress: this replaces the per-block fragments
    bool terminal = false;             // standard output is a terminal: redraw in place
    std::int64_t line_bytes_per_s = 0; // the data phase's speed in bytes a second (10 bits each)
    ImageKind kind = ImageKind::Host;
    std::uint64_t size = 0;      // bytes of the image
    std::uint64_t accepted = 0;  // of them, accepted by the receiver
    std::uint64_t in_flight = 0; // of the block going out (or awaiting its mark), on the line
    std::int64_t start_ms = 0;   // when the image's first block went out
    std::int64_t block_ms = 0;   // when the block in flight began to go out
    std::int64_t shown_ms = -1;  // when the terminal line was last drawn
    int tenths_shown = 0;        // plain lines printed so far (0 to 10)
};

// Starts the progress of one image of `size` bytes.
void progress_image(Progress& progress, ImageKind kind, std::uint64_t size);

// A block begins to go out (again, after the receiver asked for it again: its bytes are
// counted afresh).
void progress_block_start(Progress& progress);

// While a block of `len` image bytes goes out: counts what the line has carried of it since it
// began, and redraws the terminal line when a drawing is due.
void progress_sending(Progress& progress, std::uint32_t len);

// The receiver accepted `len` more bytes of the image.
void progress_accepted(Progress& progress, std::uint32_t len);

// The image is done (or the download ends inside it): a terminal line is left as it stands and
// the output goes on below it.
void progress_end(Progress& progress);

// The status text: "host   524288 of 983040 bytes  53%  11.2 kB/s  0:41 left", counting the
// block in flight; the percentage stays below 100 until every byte is accepted. `now_ms` is
// the link clock. Returns the text's length.
int progress_text(const Progress& progress, std::int64_t now_ms, char* text, int size);

#endif
