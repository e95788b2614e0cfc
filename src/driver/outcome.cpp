#include "driver/outcome.h"

#include "system/console.h"
#include "system/error_text.h"
#include "system/shown_name.h"

#include <cstdio>
#include <cstring>

namespace {

// The message for a serial device that went away, with the system's reason.
void lost_line_message(const char* device, int error, char* text, std::size_t size) {
    // The reason is cut at 127 characters, far more than any system's text for it.
    std::snprintf(text, size, "Error : the serial line on %s is gone (%.127s).\n", device,
                  error_text(error).text);
}

int selected_count(std::uint8_t selection) {
    return ((selection & 1) != 0) + ((selection & 2) != 0) + ((selection & 4) != 0);
}

// A missing image: a download of one image says so plainly; one of several names the kind's
// default file, also when the file was given under another name.
void missing_message(const DownloadOutcome& outcome, const DownloadRequest& request, char* text,
                     std::size_t size) {
    if (selected_count(request.selection) == 1)
        std::snprintf(text, size, "open fail\n");
    else
        std::snprintf(text, size, "not found %s\n", image_kind_info(outcome.kind).default_name);
}

// An image that cannot be written correctly, named as it was opened.
void refusal_message(const DownloadOutcome& outcome, const char* file_name, char* text,
                     std::size_t size) {
    const ImageKindInfo& kind_info = image_kind_info(outcome.kind);
    const long long amount = outcome.amount;
    switch (outcome.reason) {
    case DownloadReason::NothingToSend:
        if (kind_info.skipped_bytes != 0)
            std::snprintf(text, size, "Refused %s : nothing to send after its first %u bytes.\n",
                          file_name, kind_info.skipped_bytes);
        else
            std::snprintf(text, size, "Refused %s : the file is empty.\n", file_name);
        break;
    case DownloadReason::LargerThanRegion:
        std::snprintf(text, size,
                      "Refused %s : %lld bytes to send, more than the %u bytes of its flash "
                      "region.\n",
                      file_name, amount, kind_info.region_size);
        break;
    case DownloadReason::TooManyBlocks:
        std::snprintf(text, size,
                      "Refused %s : the download needs %lld blocks, more than the %u a block can "
                      "count; use a larger /block=.\n",
                      file_name, amount, max_download_blocks);
        break;
    default:
        break;
    }
}

} // namespace

void outcome_message(const DownloadOutcome& outcome, const DownloadRequest& request,
                     const SerialPort& port, char* text, std::size_t size) {
    text[0] = '\0';
    // The name as the user gave it, with its control bytes shown harmless.
    char file_name[shown_name_size];
    shown_name(request.file_names[static_cast<int>(outcome.kind)], file_name, sizeof file_name);
    if (outcome.result == DownloadResult::LineLost) {
        lost_line_message(port.device, outcome.lost_error, text, size);
        return;
    }
    switch (outcome.reason) {
    case DownloadReason::None:
        break;
    case DownloadReason::NoImageFile:
        std::snprintf(text, size, "Not found bin files.\n");
        break;
    case DownloadReason::ImageMissing:
        missing_message(outcome, request, text, size);
        break;
    case DownloadReason::NothingToSend:
    case DownloadReason::LargerThanRegion:
    case DownloadReason::TooManyBlocks:
        refusal_message(outcome, file_name, text, size);
        break;
    case DownloadReason::ShortReply:
        std::snprintf(text, size, "received data = %d, (%d)\n", static_cast<int>(outcome.amount),
                      device_info_size);
        break;
    case DownloadReason::ReplyCrc:
        std::snprintf(text, size, "crc error my = %08X, 0x%08X\n", outcome.reply.computed_crc,
                      outcome.reply.received_crc);
        break;
    case DownloadReason::SpeedRefused:
        std::snprintf(text, size, "Error : the line cannot be switched to %d baud.\n",
                      static_cast<int>(outcome.amount));
        break;
    case DownloadReason::ImageUnreadable:
        std::snprintf(text, size, "Error : %s could not be read.\n", file_name);
        break;
    case DownloadReason::NoAnswer:
        std::snprintf(text, size, "Error : no answer from the receiver on %s within %lld s.\n",
                      port.device, static_cast<long long>((outcome.amount + 999) / 1000));
        break;
    case DownloadReason::Restarted:
        std::snprintf(text, size,
                      "Error : the receiver on %s started again (it announced itself).\n",
                      port.device);
        break;
    }
}

void summary_line(const DownloadOutcome& outcome, std::int64_t elapsed_ms, char* text,
                  std::size_t size) {
    std::uint64_t bytes = 0;
    std::uint32_t blocks = 0;
    std::uint32_t resends = 0;
    for (int i = 0; i < outcome.image_count; ++i) {
        bytes += outcome.images[i].accepted_bytes;
        blocks += outcome.images[i].accepted_blocks;
        resends += outcome.images[i].resends;
    }
    const double seconds = static_cast<double>(elapsed_ms) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds / 1000.0 : 0.0;
    // A receiver that went away is named for how it did.
    const char* ended = outcome.reason == DownloadReason::NoAnswer    ? ", no answer"
                        : outcome.reason == DownloadReason::Restarted ? ", restarted"
                                                                      : "";
    std::snprintf(text, size,
                  "summary : %d image%s, %llu bytes in %u blocks, %u resent, %.1f s, %.1f kB/s%s\n",
                  outcome.image_count, outcome.image_count == 1 ? "" : "s",
                  static_cast<unsigned long long>(bytes), blocks, resends, seconds, rate, ended);
}

LineStep next_step(DownloadResult result, bool waiting, RunMode mode) {
    if (mode == RunMode::Station) {
        switch (result) {
        case DownloadResult::Escaped:
            return {NextStep::End, -1};
        case DownloadResult::LineLost:
            return {NextStep::WaitForDevice, -1};
        case DownloadResult::Finished:
        case DownloadResult::Refused:
        case DownloadResult::Failed:
            break;
        }
        return {NextStep::NextReceiver, -1};
    }
    switch (result) {
    case DownloadResult::Finished:
        return mode == RunMode::Repeat ? LineStep{NextStep::NextReceiver, -1}
                                       : LineStep{NextStep::End, exit_done};
    case DownloadResult::Refused:
        // A refused download did not do what was asked: a failure, unless more receivers come.
        return mode == RunMode::Repeat ? LineStep{NextStep::NextReceiver, -1}
                                       : LineStep{NextStep::End, exit_failed};
    case DownloadResult::Escaped:
        return {NextStep::End, waiting ? exit_escape : exit_failed};
    case DownloadResult::Failed:
    case DownloadResult::LineLost:
        break;
    }
    return {NextStep::End, exit_failed};
}

void say_line_lost(const SerialPort& port, int error) {
    char message[512];
    lost_line_message(port.device, error, message, sizeof message);
    start_own_line();
    say("%s", message);
}
