#include "protocol/download.h"

#include "link/console.h"
#include "link/image_file.h"
#include "link/link_wait.h"
#include "protocol/device_report.h"

namespace {

constexpr std::int32_t base_speed_hundreds = base_baud / 100; // 576: no speed change

struct ImageFiles {
    ImageFile files[image_kind_count];
    std::int64_t lengths[image_kind_count] = {};
};

// One download under way: its line, its buffer and its files.
struct Exchange {
    SerialPort& port;
    std::uint8_t* buffer;
    const DownloadRequest& request;
    ImageFiles images;
    ImagePlan plan;
};

DownloadOutcome ended(DownloadResult result, DownloadReason reason = DownloadReason::None) {
    DownloadOutcome outcome;
    outcome.result = result;
    outcome.reason = reason;
    return outcome;
}

DownloadOutcome failed(DownloadReason reason, std::int64_t amount) {
    DownloadOutcome outcome = ended(DownloadResult::Failed, reason);
    outcome.amount = amount;
    return outcome;
}

DownloadOutcome line_lost(const SerialPort& port) {
    DownloadOutcome outcome = ended(DownloadResult::LineLost);
    outcome.lost_error = port.lost_error;
    return outcome;
}

// A wait or a write on the line that was cut short: by the device going away, or by ESC.
DownloadOutcome cut_short(const SerialPort& port) {
    return port.lost_error != 0 ? line_lost(port) : ended(DownloadResult::Escaped);
}

bool ok(const DownloadOutcome& outcome) {
    return outcome.result == DownloadResult::Finished;
}

void close_files(ImageFiles& images) {
    for (ImageFile& file : images.files)
        close_image_file(file);
}

// Opens every selected file, the last image first, and keeps them open for the whole download
// so that the lengths planned and the bytes sent come from the same files.
DownloadOutcome open_images(Exchange& exchange) {
    const std::uint8_t selection = exchange.request.selection;
    for (int k = image_kind_count - 1; k >= 0; --k) {
        if ((selection & image_spec(static_cast<ImageKind>(k)).selection_bit) == 0)
            continue;
        ImageFile& file = exchange.images.files[k];
        if (!open_image_file(exchange.request.file_names[k], file)) {
            DownloadOutcome outcome = ended(DownloadResult::Refused, DownloadReason::ImageMissing);
            outcome.kind = static_cast<ImageKind>(k);
            outcome.file_error = file.open_error;
            return outcome;
        }
        exchange.images.lengths[k] = file.length;
    }
    // The length as the file system reports it, whatever its size: a file too large for its
    // region is refused next, and the message must show its true length.
    if (selection == image_spec(ImageKind::Tplist).selection_bit)
        say("flen = %lld\n",
            static_cast<long long>(exchange.images.lengths[static_cast<int>(ImageKind::Tplist)]));
    return DownloadOutcome{};
}

DownloadOutcome plan_images(Exchange& exchange) {
    const PlanCheck check = make_plan(exchange.request.selection, exchange.images.lengths,
                                      exchange.request.block_size, exchange.plan);
    if (check.refusal == PlanRefusal::None)
        return DownloadOutcome{};
    static constexpr DownloadReason reasons[] = {
        DownloadReason::None, DownloadReason::NothingToSend, DownloadReason::LargerThanRegion,
        DownloadReason::TooManyBlocks};
    DownloadOutcome outcome =
        ended(DownloadResult::Refused, reasons[static_cast<int>(check.refusal)]);
    outcome.kind = check.kind;
    outcome.amount = check.amount;
    return outcome;
}

DownloadOutcome switch_speed(SerialPort& port, std::int32_t baud) {
    if (set_speed(port, baud))
        return DownloadOutcome{};
    if (port.lost_error != 0)
        return line_lost(port);
    return failed(DownloadReason::SpeedRefused, baud);
}

// Waits for the receiver's ready mark, reads its identification and prints the report.
DownloadOutcome read_identification(Exchange& exchange) {
    if (!wait_ready(exchange.port))
        return cut_short(exchange.port);
    const int received =
        read_reply(exchange.port, exchange.buffer, device_info_size, reply_timeout_ms);
    if (received < device_info_size) {
        if (exchange.port.lost_error != 0)
            return line_lost(exchange.port);
        return failed(DownloadReason::ShortReply, received);
    }
    DownloadOutcome outcome;
    if (!parse_device_info(exchange.buffer, outcome.reply)) {
        outcome.result = DownloadResult::Failed;
        outcome.reason = DownloadReason::ReplyCrc;
        return outcome;
    }
    report_device(outcome.reply);
    return outcome;
}

// Sends the header that lists the sectors to erase, then moves the line to the data-phase
// speed, which the receiver switches to as soon as it has the header.
DownloadOutcome send_header(Exchange& exchange) {
    const DownloadRequest& request = exchange.request;
    put_header_sectors(exchange.buffer, exchange.plan.sectors, exchange.plan.sector_count);
    say("\n");
    // The header makes the receiver erase the sectors it lists. A user who pressed ESC before
    // it went out (the reply read does not look at the keyboard) wants nothing erased.
    if (escape_pressed())
        return ended(DownloadResult::Escaped);
    complete_header(exchange.buffer, request.block_size, request.speed_hundreds);
    if (!write_all(exchange.port, exchange.buffer, header_size))
        return line_lost(exchange.port);
    drain_input(exchange.port);
    if (request.speed_hundreds != base_speed_hundreds) {
        const DownloadOutcome outcome = switch_speed(exchange.port, request.speed_hundreds * 100);
        if (!ok(outcome))
            return outcome;
        say("change baudrate 57600 -> %d00\n", request.speed_hundreds);
    }
    if (!wait_ready(exchange.port))
        return cut_short(exchange.port);
    return DownloadOutcome{};
}

// Sends one block until the receiver accepts it. A resent block goes out again from the same
// buffer with the same blk, len and address: the receiver counts blocks by blk.
DownloadOutcome send_until_accepted(Exchange& exchange, const PlannedBlock& block,
                                    bool last_of_image) {
    const std::uint32_t block_size = exchange.plan.block_size;
    int mark;
    do {
        const std::uint32_t crc =
            put_block_trailer(exchange.buffer, block_size, block.blk, block.len, block.address);
        // No line end: the receiver's echoed text and the mark wait's output continue this line.
        say("crc = 0x%08lX, blk = %3u, len = %5u  :", static_cast<unsigned long>(crc), block.blk,
            block.len);
        // The whole frame goes out, data area and trailer, also behind a short last block.
        const std::ptrdiff_t sent =
            write_watching_keys(exchange.port, exchange.buffer, block_size + block_trailer_size);
        if (sent < 0)
            return cut_short(exchange.port);
        // What the receiver sends right after a frame is not its answer yet.
        drain_input(exchange.port);
        if (!last_of_image)
            say(":  ");
        mark = wait_for_mark(exchange.port, "!@");
        if (mark < 0)
            return cut_short(exchange.port);
    } while (mark == 1);
    return DownloadOutcome{};
}

DownloadOutcome send_image(Exchange& exchange, int image) {
    const PlannedImage& planned = exchange.plan.images[image];
    const int k = static_cast<int>(planned.kind);
    if (exchange.plan.image_count > 1)
        say("%s", image_spec(planned.kind).heading);
    const std::int64_t skipped = image_spec(planned.kind).skipped_bytes;
    for (std::uint32_t index = 0; index < planned.blocks; ++index) {
        const PlannedBlock block = plan_block(exchange.plan, image, index);
        // Older buffer content must never go out as image data.
        if (!read_image_file(exchange.images.files[k], skipped + block.offset, exchange.buffer,
                             block.len)) {
            DownloadOutcome outcome = failed(DownloadReason::ImageUnreadable, 0);
            outcome.kind = planned.kind;
            return outcome;
        }
        const DownloadOutcome outcome =
            send_until_accepted(exchange, block, index + 1 == planned.blocks);
        if (!ok(outcome))
            return outcome;
    }
    close_image_file(exchange.images.files[k]);
    return DownloadOutcome{};
}

// The download's steps in order; the first that does not end well ends the download.
DownloadOutcome run_steps(Exchange& exchange) {
    if (!write_all(exchange.port, reinterpret_cast<const std::uint8_t*>(access_string),
                   access_string_size))
        return line_lost(exchange.port);
    say("start pol ok\n");

    DownloadOutcome outcome = open_images(exchange);
    if (ok(outcome))
        outcome = plan_images(exchange);
    if (!ok(outcome))
        return outcome;
    outcome = read_identification(exchange);
    if (!ok(outcome))
        return outcome;
    const DeviceInfo reply = outcome.reply;
    outcome = send_header(exchange);
    for (int image = 0; ok(outcome) && image < exchange.plan.image_count; ++image)
        outcome = send_image(exchange, image);
    if (ok(outcome))
        outcome = switch_speed(exchange.port, base_baud);
    if (ok(outcome))
        say("change speed --> 57600\n");
    outcome.reply = reply;
    return outcome;
}

} // namespace

DownloadOutcome run_download(SerialPort& port, DownloadBuffers& buffers,
                             const DownloadRequest& request) {
    Exchange exchange{port, buffers.by_selection[request.selection & 7], request, {}, {}};
    const DownloadOutcome outcome = run_steps(exchange);
    close_files(exchange.images);
    return outcome;
}

bool image_file_present(const char* name) {
    ImageFile file;
    if (!open_image_file(name, file))
        return false;
    close_image_file(file);
    return true;
}
