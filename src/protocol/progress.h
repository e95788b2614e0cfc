#ifndef UPGRADE_PROTOCOL_PROGRESS_H
#define UPGRADE_PROTOCOL_PROGRESS_H

// Progress a person can follow (/progress): instead of a fragment per block, one status line
// per image with the bytes the receiver has accepted of the image's total, the percentage, the
// rate and the time left. On a terminal the line is redrawn in place and the receiver's text is
// shown above it; otherwise a plain line is printed at every tenth of the image. The progress
// only reports what the download does; it changes nothing on the line.

#include "protocol/image_plan.h"

#include <cstdint>

struct Progress {
    bool on = false;       // /progress: this replaces the per-block fragments
    bool terminal = false; // standard output is a terminal: redraw in place
    ImageKind kind = ImageKind::Host;
    std::uint64_t size = 0;     // bytes of the image
    std::uint64_t accepted = 0; // of them, accepted by the receiver
    std::int64_t start_ms = 0;  // when the image's first block went out
    std::int64_t shown_ms = -1; // when the terminal line was last drawn
    int tenths_shown = 0;       // plain lines printed so far (0 to 10)
};

// Starts the progress of one image of `size` bytes.
void progress_image(Progress& progress, ImageKind kind, std::uint64_t size);

// The receiver accepted `len` more bytes of the image.
void progress_accepted(Progress& progress, std::uint32_t len);

// The image is done (or the download ends inside it): a terminal line is left as it stands and
// the output goes on below it.
void progress_end(Progress& progress);

// The status text: "host   524288 of 983040 bytes  53%  11.2 kB/s  0:41 left". `now_ms` is the
// link clock. Returns the text's length.
int progress_text(const Progress& progress, std::int64_t now_ms, char* text, int size);

#endif
