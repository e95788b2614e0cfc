#ifndef UPGRADE_DRIVER_EXCHANGE_TEXT_H
#define UPGRADE_DRIVER_EXCHANGE_TEXT_H

// What the person at the bench sees of a download as it goes: the exchange's events become
// the program's console text, word for word as it has always been ("start pol ok", the
// device report, "crc = ..., blk = ..., len = ...  :" per block, the speed changes, the
// headings of a multi-image download), the receiver's echoed text, the quiet notice, and with
// /progress the status line instead of the block fragments.

#include "driver/progress.h"
#include "protocol/download.h"

struct ExchangeText {
    const char* device = ""; // the port, as the quiet notice names it
    Progress progress;       // with /progress: the status line, replacing the fragments
};

// Prepares `text` for a download on `device` at `speed_hundreds` in its data phase, with the
// status line when `progress` is set (redrawn in place when `on_terminal` is set too).
void start_exchange_text(ExchangeText& text, const char* device, bool progress, bool on_terminal,
                         std::int32_t speed_hundreds);

// An ExchangeSink's function: shows `event` on this thread's console channel. `context` is the
// ExchangeText of the download.
void show_exchange_event(void* context, const ExchangeEvent& event);

// The sink that shows a download's events through `text`.
ExchangeSink exchange_text_sink(ExchangeText& text);

#endif
