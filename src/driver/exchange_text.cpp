#include "driver/exchange_text.h"

#include "protocol/device_report.h"
#include "system/console.h"

namespace {

// Only a download of the transponder list alone says the file's length, as the file system
// reports it: a list too large for its region is refused next, and the length shows why.
void show_images_opened(const DownloadOutcome& outcome) {
    if (outcome.image_count == 1 && outcome.images[0].kind == ImageKind::Tplist)
        say("flen = %lld\n", static_cast<long long>(outcome.images[0].length));
}

void show_identified(const DeviceInfo& device) {
    char report[512];
    device_report_text(device, report, sizeof report);
    say("%s", report);
}

void show_image_started(ExchangeText& text, const ExchangeEvent& event) {
    if (event.image_count > 1)
        say("%s", image_kind_info(event.image_kind).heading);
    if (text.progress.on)
        progress_image(text.progress, event.image_kind, event.size);
}

void show_block(ExchangeText& text, const ExchangeEvent& event) {
    Progress& progress = text.progress;
    switch (event.kind) {
    case ExchangeEventKind::BlockGoing:
        // No line end: the receiver's echoed text and the mark wait's output continue this line.
        if (!progress.on)
            say("crc = 0x%08lX, blk = %3u, len = %5u  :", static_cast<unsigned long>(event.crc),
                event.blk, event.len);
        if (progress.terminal)
            progress_block_start(progress);
        break;
    case ExchangeEventKind::BlockOnItsWay:
        progress_sending(progress, event.len);
        break;
    case ExchangeEventKind::BlockSent:
        if (!progress.on && !event.last_of_image)
            say(":  ");
        break;
    case ExchangeEventKind::BlockAccepted:
        if (progress.on)
            progress_accepted(progress, event.len);
        break;
    default:
        break;
    }
}

} // namespace

void start_exchange_text(ExchangeText& text, const char* device, bool progress, bool on_terminal,
                         std::int32_t speed_hundreds) {
    text.device = device;
    text.progress = Progress{};
    text.progress.on = progress;
    text.progress.terminal = progress && on_terminal;
    text.progress.line_bytes_per_s = std::int64_t{speed_hundreds} * 100 / 10;
}

void show_exchange_event(void* context, const ExchangeEvent& event) {
    ExchangeText& text = *static_cast<ExchangeText*>(context);
    switch (event.kind) {
    case ExchangeEventKind::Announced:
    case ExchangeEventKind::HeaderGoing:
        say("\n");
        break;
    case ExchangeEventKind::AccessSent:
        say("start pol ok\n");
        break;
    case ExchangeEventKind::ImagesOpened:
        show_images_opened(*event.outcome);
        break;
    case ExchangeEventKind::Identified:
        show_identified(*event.device);
        break;
    case ExchangeEventKind::DataSpeedSet:
        say("change baudrate 57600 -> %d00\n", event.baud / 100);
        break;
    case ExchangeEventKind::ImageStarted:
        show_image_started(text, event);
        break;
    case ExchangeEventKind::BlockGoing:
    case ExchangeEventKind::BlockOnItsWay:
    case ExchangeEventKind::BlockSent:
    case ExchangeEventKind::BlockAccepted:
    case ExchangeEventKind::BlockRefused:
        show_block(text, event);
        break;
    case ExchangeEventKind::ImageDone:
    case ExchangeEventKind::Ended:
        // A download that ends inside an image leaves its status line for the message below.
        progress_end(text.progress);
        break;
    case ExchangeEventKind::BaseSpeedBack:
        say("change speed --> 57600\n");
        break;
    case ExchangeEventKind::ReceiverText:
        echo(event.bytes, event.count);
        break;
    case ExchangeEventKind::TextEnded:
        end_of_echoed_text();
        break;
    case ExchangeEventKind::ReceiverQuiet:
        complain("nothing heard from the receiver on %s for %d s; ESC ends the download\n",
                 text.device, (event.quiet_ms + 999) / 1000);
        break;
    }
}

ExchangeSink exchange_text_sink(ExchangeText& text) {
    return ExchangeSink{show_exchange_event, &text};
}
