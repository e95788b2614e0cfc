#include "protocol/download.h"

#include "system/console.h"
#include "system/image_file.h"
#include "link/link_wait.h"
#include "protocol/device_report.h"
#include "driver/progress.h"
#include "system/clock.h"

namespace {

constexpr std::int32_t base_speed_hundreds = base_baud / 100; // 576: no speed change

// One download under way: its line, its buffer, its files and what it has done so far. Each
// step returns true to go on; a step that ends the download says how in `outcome`.
struct Exchange {
    SerialPort& port;
    std::uint8_t* buffer;
    const DownloadRequest& request;
    ImageFile files[image_kind_count];
    ImagePlan plan;
    DownloadOutcome outcome;
    Progress progress;
    // The digest of each image, taken of the bytes as they are read to be sent: the record then
    // names what the receiver got, even if the file is rewritten during the download.
    Sha256 digests[image_kind_count];
    std::int64_t hashed_to[image_kind_count] = {}; // file offset the digest has reached
    bool hashing[image_kind_count] = {};
};

bool end(Exchange& exchange, DownloadResult result, DownloadReason reason = DownloadReason::None) {
    exchange.outcome.result = result;
    exchange.outcome.reason = reason;
    return false;
}

bool fail(Exchange& exchange, DownloadReason reason, std::int64_t amount) {
    exchange.outcome.amount = amount;
    return end(exchange, DownloadResult::Failed, reason);
}

bool line_lost(Exchange& exchange) {
    exchange.outcome.lost_error = exchange.port.lost_error;
    return end(exchange, DownloadResult::LineLost);
}

// A wait or a write on the line that was cut short: by the device going away, or by ESC.
bool cut_short(Exchange& exchange, LinkResult result) {
    return result == LinkResult::Lost ? line_lost(exchange)
                                      : end(exchange, DownloadResult::Escaped);
}

// The report of the image of `kind`; the selected images are listed in download order first.
ImageReport& report_of(Exchange& exchange, ImageKind kind) {
    DownloadOutcome& outcome = exchange.outcome;
    for (int i = 0; i < outcome.image_count; ++i) {
        if (outcome.images[i].kind == kind)
            return outcome.images[i];
    }
    return outcome.images[0];
}

// Writes a frame, looking at the keyboard; counts what went out.
bool send_frame(Exchange& exchange, const std::uint8_t* bytes, std::size_t count) {
    const LinkResult written = write_watching_keys(exchange.port, bytes, count);
    if (written != LinkResult::Done)
        return cut_short(exchange, written);
    exchange.outcome.bytes_sent += count;
    return true;
}

// Until when a wait on the line may go before the status line is due again: while the block
// is on its way out (a full block takes 4.4 s at 115200 baud). -1, no limit, once the line has
// carried all of it, or without a status line.
std::int64_t redraw_due(const Exchange& exchange, const PlannedBlock& block) {
    const Progress& progress = exchange.progress;
    return progress.terminal && progress.in_flight < block.len ? now_ms() + progress_tick_ms : -1;
}

// Writes a block's frame; with a status line, in spells that let it move.
bool send_block_frame(Exchange& exchange, const PlannedBlock& block) {
    const std::size_t count = exchange.plan.block_size + block_trailer_size;
    if (!exchange.progress.terminal)
        return send_frame(exchange, exchange.buffer, count);
    progress_block_start(exchange.progress);
    std::size_t sent = 0;
    LinkResult written;
    while ((written = write_until(exchange.port, exchange.buffer, count, sent,
                                  redraw_due(exchange, block))) == LinkResult::TimedOut)
        progress_sending(exchange.progress, block.len);
    if (written != LinkResult::Done)
        return cut_short(exchange, written);
    exchange.outcome.bytes_sent += count;
    return true;
}

// Waits for the receiver's mark for the block; the status line goes on moving while the line
// still carries the block.
LinkResult wait_for_block_mark(Exchange& exchange, const PlannedBlock& block, int& mark) {
    LinkResult answer;
    while ((answer = wait_for_mark_until(exchange.port, "!@", mark, redraw_due(exchange, block))) ==
           LinkResult::TimedOut)
        progress_sending(exchange.progress, block.len);
    return answer;
}

// Opens and plans the images as open_and_plan_images does, keeping the files open for the
// whole download so that the lengths planned and the bytes sent come from the same files.
bool open_and_plan(Exchange& exchange) {
    const bool planned =
        open_and_plan_images(exchange.request, exchange.files, exchange.plan, exchange.outcome);
    for (int k = 0; k < image_kind_count; ++k) {
        if (exchange.files[k].handle != -1)
            report_of(exchange, static_cast<ImageKind>(k)).length = exchange.files[k].length;
    }
    if (exchange.outcome.reason == DownloadReason::ImageMissing)
        return false;
    // The length as the file system reports it, whatever its size: a file too large for its
    // region is refused next, and the message must show its true length.
    if (exchange.request.selection == image_kind_info(ImageKind::Tplist).selection_bit)
        say("flen = %lld\n",
            static_cast<long long>(exchange.files[static_cast<int>(ImageKind::Tplist)].length));
    if (!planned)
        return false;
    for (int i = 0; i < exchange.plan.image_count; ++i)
        report_of(exchange, exchange.plan.images[i].kind).blocks = exchange.plan.images[i].blocks;
    return true;
}

// Starts the digest of every image of the plan. Each one ends in `finish_digests`, whatever
// ends the download.
void start_digests(Exchange& exchange) {
    for (int i = 0; i < exchange.outcome.image_count; ++i) {
        const int k = static_cast<int>(exchange.outcome.images[i].kind);
        sha256_start(exchange.digests[k]);
        exchange.hashing[k] = true;
    }
}

// Adds the bytes of `kind`'s file from where its digest stands up to `to`, read through a
// buffer of its own: the download buffer's content must stay as the previous download left it.
bool hash_from_file(Exchange& exchange, ImageKind kind, std::int64_t to) {
    const int k = static_cast<int>(kind);
    std::uint8_t piece[16384];
    while (exchange.hashed_to[k] < to) {
        const std::int64_t left = to - exchange.hashed_to[k];
        const auto count = static_cast<std::size_t>(
            left < std::int64_t{sizeof piece} ? left : std::int64_t{sizeof piece});
        if (!read_image_file(exchange.files[k], exchange.hashed_to[k], piece, count))
            return false;
        sha256_add(exchange.digests[k], piece, count);
        exchange.hashed_to[k] += static_cast<std::int64_t>(count);
    }
    return true;
}

// Adds a block's bytes, just read from `kind`'s file into the download buffer, to its digest.
void hash_block(Exchange& exchange, ImageKind kind, std::uint32_t len) {
    const int k = static_cast<int>(kind);
    if (!exchange.hashing[k])
        return;
    sha256_add(exchange.digests[k], exchange.buffer, len);
    exchange.hashed_to[k] += len;
}

// Ends every digest. A download that ended before an image was sent in full reads the rest of
// that file for it, so that its record still names the image; a file that cannot be read to
// its end has no digest.
void finish_digests(Exchange& exchange) {
    for (int i = 0; i < exchange.outcome.image_count; ++i) {
        ImageReport& image = exchange.outcome.images[i];
        const int k = static_cast<int>(image.kind);
        if (!exchange.hashing[k])
            continue;
        const bool whole = exchange.hashed_to[k] == image.length ||
                           hash_from_file(exchange, image.kind, image.length);
        sha256_finish(exchange.digests[k], image.sha256);
        image.hashed = whole;
        exchange.hashing[k] = false;
    }
}

bool switch_speed(Exchange& exchange, std::int32_t baud) {
    if (set_speed(exchange.port, baud))
        return true;
    if (exchange.port.lost_error != 0)
        return line_lost(exchange);
    return fail(exchange, DownloadReason::SpeedRefused, baud);
}

// Waits for the receiver's ready mark, reads its identification and prints the report.
bool read_identification(Exchange& exchange) {
    const LinkResult ready = wait_ready(exchange.port);
    if (ready != LinkResult::Done)
        return cut_short(exchange, ready);
    int received = 0;
    const LinkResult reply =
        read_reply(exchange.port, exchange.buffer, device_info_size, reply_timeout_ms, received);
    if (reply == LinkResult::Lost)
        return line_lost(exchange);
    if (reply != LinkResult::Done)
        return fail(exchange, DownloadReason::ShortReply, received);
    if (!parse_device_info(exchange.buffer, exchange.outcome.reply))
        return fail(exchange, DownloadReason::ReplyCrc, 0);
    exchange.outcome.reply_read = true;
    report_device(exchange.outcome.reply);
    return true;
}

// Sends the header that lists the sectors to erase, then moves the line to the data-phase
// speed, which the receiver switches to as soon as it has the header.
bool send_header(Exchange& exchange) {
    const DownloadRequest& request = exchange.request;
    put_header_sectors(exchange.buffer, exchange.plan.sectors, exchange.plan.sector_count);
    say("\n");
    // The header makes the receiver erase the sectors it lists: a user who pressed ESC before
    // it went out (the reply read does not look at the keyboard) wants nothing erased, and the
    // write looks at the keyboard before its first byte.
    complete_header(exchange.buffer, request.block_size, request.speed_hundreds);
    if (!send_frame(exchange, exchange.buffer, header_size))
        return false;
    drain_input(exchange.port);
    if (request.speed_hundreds != base_speed_hundreds) {
        if (!switch_speed(exchange, request.speed_hundreds * 100))
            return false;
        say("change baudrate 57600 -> %d00\n", request.speed_hundreds);
    }
    const LinkResult ready = wait_ready(exchange.port);
    return ready == LinkResult::Done || cut_short(exchange, ready);
}

// Sends one block until the receiver accepts it. A resent block goes out again from the same
// buffer with the same blk, len and address: the receiver counts blocks by blk.
bool send_until_accepted(Exchange& exchange, ImageReport& image, const PlannedBlock& block,
                         bool last_of_image) {
    const std::uint32_t block_size = exchange.plan.block_size;
    const bool fragments = !exchange.progress.on;
    for (;;) {
        const std::uint32_t crc =
            put_block_trailer(exchange.buffer, block_size, block.blk, block.len, block.address);
        // No line end: the receiver's echoed text and the mark wait's output continue this line.
        if (fragments)
            say("crc = 0x%08lX, blk = %3u, len = %5u  :", static_cast<unsigned long>(crc),
                block.blk, block.len);
        // The whole frame goes out, data area and trailer, also behind a short last block.
        if (!send_block_frame(exchange, block))
            return false;
        // What the receiver sends right after a frame is not its answer yet.
        drain_input(exchange.port);
        if (fragments && !last_of_image)
            say(":  ");
        int mark = 0;
        const LinkResult answer = wait_for_block_mark(exchange, block, mark);
        if (answer != LinkResult::Done)
            return cut_short(exchange, answer);
        if (mark == 0) {
            ++image.accepted_blocks;
            image.accepted_bytes += block.len;
            if (exchange.progress.on)
                progress_accepted(exchange.progress, block.len);
            return true;
        }
        ++image.resends;
    }
}

bool send_image(Exchange& exchange, int image) {
    const PlannedImage& planned = exchange.plan.images[image];
    ImageReport& report = report_of(exchange, planned.kind);
    ImageFile& file = exchange.files[static_cast<int>(planned.kind)];
    if (exchange.plan.image_count > 1)
        say("%s", image_kind_info(planned.kind).heading);
    if (exchange.progress.on)
        progress_image(exchange.progress, planned.kind, planned.size);
    const std::int64_t skipped = image_kind_info(planned.kind).skipped_bytes;
    // The bytes never sent count in the file's digest all the same.
    if (exchange.hashing[static_cast<int>(planned.kind)] &&
        !hash_from_file(exchange, planned.kind, skipped)) {
        exchange.outcome.kind = planned.kind;
        return fail(exchange, DownloadReason::ImageUnreadable, 0);
    }
    for (std::uint32_t index = 0; index < planned.blocks; ++index) {
        const PlannedBlock block = plan_block(exchange.plan, image, index);
        // Older buffer content must never go out as image data.
        if (!read_image_file(file, skipped + block.offset, exchange.buffer, block.len)) {
            exchange.outcome.kind = planned.kind;
            return fail(exchange, DownloadReason::ImageUnreadable, 0);
        }
        hash_block(exchange, planned.kind, block.len);
        if (!send_until_accepted(exchange, report, block, index + 1 == planned.blocks))
            return false;
    }
    close_image_file(file);
    progress_end(exchange.progress);
    return true;
}

// The download's steps in order; the first that does not go on ends the download.
bool run_steps(Exchange& exchange) {
    if (!send_frame(exchange, reinterpret_cast<const std::uint8_t*>(access_string),
                    access_string_size))
        return false;
    say("start pol ok\n");
    if (!open_and_plan(exchange))
        return false;
    if (exchange.request.digests)
        start_digests(exchange);
    if (!read_identification(exchange) || !send_header(exchange))
        return false;
    for (int image = 0; image < exchange.plan.image_count; ++image) {
        if (!send_image(exchange, image))
            return false;
    }
    if (!switch_speed(exchange, base_baud))
        return false;
    say("change speed --> 57600\n");
    return true;
}

} // namespace

DownloadOutcome run_download(SerialPort& port, std::uint8_t* buffer,
                             const DownloadRequest& request) {
    Exchange exchange{port, buffer, request, {}, {}, {}, {}, {}, {}, {}};
    // The selected images in download order, before anything can end the download.
    for (int k = 0; k < image_kind_count; ++k) {
        const auto kind = static_cast<ImageKind>(k);
        if ((request.selection & image_kind_info(kind).selection_bit) != 0)
            exchange.outcome.images[exchange.outcome.image_count++].kind = kind;
    }
    exchange.progress.on = request.progress;
    exchange.progress.terminal = request.progress && output_is_terminal();
    exchange.progress.line_bytes_per_s = std::int64_t{request.speed_hundreds} * 100 / 10;
    run_steps(exchange);
    finish_digests(exchange);
    // A download that ends inside an image leaves its status line for the message below it.
    progress_end(exchange.progress);
    for (ImageFile& file : exchange.files)
        close_image_file(file);
    return exchange.outcome;
}

bool open_and_plan_images(const DownloadRequest& request, ImageFile files[image_kind_count],
                          ImagePlan& plan, DownloadOutcome& outcome) {
    std::int64_t lengths[image_kind_count] = {};
    for (int k = image_kind_count - 1; k >= 0; --k) {
        const auto kind = static_cast<ImageKind>(k);
        if ((request.selection & image_kind_info(kind).selection_bit) == 0)
            continue;
        if (!open_image_file(request.file_names[k], files[k])) {
            outcome.kind = kind;
            outcome.file_error = files[k].open_error;
            outcome.result = DownloadResult::Refused;
            outcome.reason = DownloadReason::ImageMissing;
            return false;
        }
        lengths[k] = files[k].length;
    }
    const PlanCheck check = make_plan(request.selection, lengths, request.block_size, plan);
    if (check.refusal == PlanRefusal::None)
        return true;
    static constexpr DownloadReason reasons[] = {
        DownloadReason::None, DownloadReason::NothingToSend, DownloadReason::LargerThanRegion,
        DownloadReason::TooManyBlocks};
    outcome.kind = check.kind;
    outcome.amount = check.amount;
    outcome.result = DownloadResult::Refused;
    outcome.reason = reasons[static_cast<int>(check.refusal)];
    return false;
}

bool image_file_present(const char* name) {
    ImageFile file;
    if (!open_image_file(name, file))
        return false;
    close_image_file(file);
    return true;
}
