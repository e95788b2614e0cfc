#include "protocol/download.h"

#include "link/link_wait.h"
#include "protocol/frames.h"
#include "protocol/image_digests.h"
#include "protocol/line_time.h"
#include "system/clock.h"
#include "system/image_file.h"

namespace {

constexpr std::int32_t base_speed_hundreds = base_baud / 100; // 576: no speed change

// One download under way: its line, its buffer, its files and what it has done so far. Each
// step returns true to go on; a step that ends the download says how in `outcome`.
struct Exchange {
    SerialPort& port;
    LinkWatch& watch;
    std::uint8_t* buffer;
    const DownloadRequest& request;
    const ExchangeSink& sink;
    ImageFile files[image_kind_count];
    ImagePlan plan;
    DownloadOutcome outcome;
    // The data phase's speed in bytes a second (10 bits each), and how far the block going out
    // has got on the line by the last tick.
    std::int64_t line_bytes_per_s = 0;
    std::int64_t block_start_ms = 0;
    std::uint64_t block_on_line = 0;
    // With a bound on the answer: the receiver's text since the last mark, matched against its
    // announcement. A receiver heard announcing has started again.
    char heard[announcement_size] = {};
    int heard_at = 0;
    ImageDigests digests;
};

void report_event(const Exchange& exchange, const ExchangeEvent& event) {
    if (exchange.sink.hear != nullptr)
        exchange.sink.hear(exchange.sink.context, event);
}

void report_event(const Exchange& exchange, ExchangeEventKind kind) {
    ExchangeEvent event;
    event.kind = kind;
    event.outcome = &exchange.outcome;
    report_event(exchange, event);
}

// True when `bytes` complete the receiver's announcement.
bool announces_itself(Exchange& exchange, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (match_announcement(exchange.heard, exchange.heard_at, bytes[i]))
            return true;
    }
    return false;
}

// The link's news during the download, passed on as the exchange's events. With a bound on the
// answer, a receiver that announces itself while its mark is awaited ends the wait: it has
// started again and will never send that mark.
bool pass_on(void* context, const LinkNews& news) {
    Exchange& exchange = *static_cast<Exchange*>(context);
    if (news.kind == LinkNewsKind::TextEnded)
        exchange.heard_at = 0;
    ExchangeEvent event;
    static constexpr ExchangeEventKind kinds[] = {ExchangeEventKind::ReceiverText,
                                                  ExchangeEventKind::TextEnded,
                                                  ExchangeEventKind::ReceiverQuiet};
    event.kind = kinds[static_cast<int>(news.kind)];
    event.bytes = news.bytes;
    event.count = news.count;
    event.quiet_ms = news.quiet_ms;
    report_event(exchange, event);
    return news.kind != LinkNewsKind::Text || exchange.request.answer_bound == AnswerBound::None ||
           !announces_itself(exchange, news.bytes, news.count);
}

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

// A wait or a write on the line that was cut short: by the device going away, by ESC, by the
// receiver starting again, or by its silence past the bound (`bound_ms`).
bool cut_short(Exchange& exchange, LinkResult result, std::int64_t bound_ms = 0) {
    switch (result) {
    case LinkResult::Lost:
        return line_lost(exchange);
    case LinkResult::Ended:
        return fail(exchange, DownloadReason::Restarted, 0);
    case LinkResult::TimedOut:
        return fail(exchange, DownloadReason::NoAnswer, bound_ms);
    case LinkResult::Done:
    case LinkResult::Escaped:
        break;
    }
    return end(exchange, DownloadResult::Escaped);
}

// How long the receiver may take with its answer, given the chip's worst case for it; -1: no
// bound.
std::int64_t answer_bound(const Exchange& exchange, std::int64_t worst_case_ms) {
    switch (exchange.request.answer_bound) {
    case AnswerBound::None:
        break;
    case AnswerBound::WorstCase:
        return worst_case_ms;
    case AnswerBound::Fixed:
        return exchange.request.answer_bound_ms;
    }
    return -1;
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

// Writes a frame, watching the stop; counts what went out.
bool send_frame(Exchange& exchange, const std::uint8_t* bytes, std::size_t count) {
    const LinkResult written = write_watching_stop(exchange.port, exchange.watch, bytes, count);
    if (written != LinkResult::Done)
        return cut_short(exchange, written);
    exchange.outcome.bytes_sent += count;
    return true;
}

// Until when a wait on the line may go before the next tick is due: while the block is on its
// way out. -1, no limit, once the line has carried all of it, or without ticks.
std::int64_t tick_due(const Exchange& exchange, const PlannedBlock& block) {
    return exchange.request.tick_ms > 0 && exchange.block_on_line < block.len
               ? now_ms() + exchange.request.tick_ms
               : -1;
}

// The block is still on its way: how far the line has carried it.
void tick(Exchange& exchange, const PlannedBlock& block) {
    exchange.block_on_line =
        bytes_on_line(block.len, now_ms() - exchange.block_start_ms, exchange.line_bytes_per_s);
    ExchangeEvent event;
    event.kind = ExchangeEventKind::BlockOnItsWay;
    event.blk = block.blk;
    event.len = block.len;
    report_event(exchange, event);
}

// Writes a block's frame; with ticks, in spells between them.
bool send_block_frame(Exchange& exchange, const PlannedBlock& block) {
    const std::size_t count = exchange.plan.block_size + block_trailer_size;
    if (exchange.request.tick_ms <= 0)
        return send_frame(exchange, exchange.buffer, count);
    exchange.block_start_ms = now_ms();
    exchange.block_on_line = 0;
    std::size_t sent = 0;
    LinkResult written;
    while ((written = write_until(exchange.port, exchange.watch, exchange.buffer, count, sent,
                                  tick_due(exchange, block))) == LinkResult::TimedOut)
        tick(exchange, block);
    if (written != LinkResult::Done)
        return cut_short(exchange, written);
    exchange.outcome.bytes_sent += count;
    return true;
}

// Waits for one of `marks` from the receiver, for `bound_ms` at most (-1: no bound; TimedOut
// when it passed). With a `block`, the ticks go on while the line still carries it.
LinkResult wait_for_answer(Exchange& exchange, const char* marks, int& mark, std::int64_t bound_ms,
                           const PlannedBlock* block = nullptr) {
    const std::int64_t deadline = bound_ms >= 0 ? now_ms() + bound_ms : -1;
    for (;;) {
        std::int64_t until = block != nullptr ? tick_due(exchange, *block) : -1;
        if (deadline >= 0 && (until < 0 || deadline < until))
            until = deadline;
        const LinkResult answer =
            wait_for_mark_until(exchange.port, exchange.watch, marks, mark, until);
        if (answer != LinkResult::TimedOut || (deadline >= 0 && now_ms() >= deadline))
            return answer;
        if (block != nullptr)
            tick(exchange, *block);
    }
}

// Waits for the receiver's ready mark '!' alone: an '@' here is its text like any other byte.
LinkResult wait_for_ready(Exchange& exchange, std::int64_t bound_ms) {
    int mark = 0;
    return wait_for_answer(exchange, "!", mark, bound_ms);
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
    // The lengths as the file system reports them, whatever their size: a file too large for
    // its region is refused next, and its message must show its true length.
    report_event(exchange, ExchangeEventKind::ImagesOpened);
    if (!planned)
        return false;
    for (int i = 0; i < exchange.plan.image_count; ++i)
        report_of(exchange, exchange.plan.images[i].kind).blocks = exchange.plan.images[i].blocks;
    return true;
}

bool switch_speed(Exchange& exchange, std::int32_t baud, ExchangeEventKind done) {
    if (set_speed(exchange.port, baud)) {
        exchange.outcome.at_data_speed = done == ExchangeEventKind::DataSpeedSet;
        ExchangeEvent event;
        event.kind = done;
        event.baud = baud;
        report_event(exchange, event);
        return true;
    }
    if (exchange.port.lost_error != 0)
        return line_lost(exchange);
    return fail(exchange, DownloadReason::SpeedRefused, baud);
}

// With a bound on the answer: true when the reply that failed its CRC (in the buffer) is the
// start of the receiver's announcement and the rest of it follows: the receiver started again
// after its ready mark. What it sent is then reported as its text.
bool restarted_in_reply(Exchange& exchange) {
    if (exchange.request.answer_bound == AnswerBound::None)
        return false;
    exchange.heard_at = 0;
    bool whole = announces_itself(exchange, exchange.buffer, device_info_size);
    std::uint8_t rest[announcement_size];
    int received = 0;
    if (!whole && exchange.heard_at > 0) {
        const int missing = announcement_size - exchange.heard_at;
        read_reply(exchange.port, rest, missing, reply_timeout_ms, received);
        whole = announces_itself(exchange, rest, static_cast<std::size_t>(received));
    }
    if (!whole)
        return false;
    ExchangeEvent event;
    event.kind = ExchangeEventKind::ReceiverText;
    event.bytes = exchange.buffer;
    event.count = device_info_size;
    report_event(exchange, event);
    event.bytes = rest;
    event.count = static_cast<std::size_t>(received);
    if (received > 0)
        report_event(exchange, event);
    return true;
}

// Waits for the receiver's ready mark and reads its identification.
bool read_identification(Exchange& exchange) {
    // The receiver answers the access string at once: the bound is the margin alone.
    const std::int64_t bound_ms = answer_bound(exchange, answer_margin_ms);
    const LinkResult ready = wait_for_ready(exchange, bound_ms);
    if (ready != LinkResult::Done)
        return cut_short(exchange, ready, bound_ms);
    int received = 0;
    const LinkResult reply =
        read_reply(exchange.port, exchange.buffer, device_info_size, reply_timeout_ms, received);
    if (reply == LinkResult::Lost)
        return line_lost(exchange);
    if (reply != LinkResult::Done)
        return fail(exchange, DownloadReason::ShortReply, received);
    if (!parse_device_info(exchange.buffer, exchange.outcome.reply))
        return fail(
            exchange,
            restarted_in_reply(exchange) ? DownloadReason::Restarted : DownloadReason::ReplyCrc, 0);
    exchange.outcome.reply_read = true;
    ExchangeEvent event;
    event.kind = ExchangeEventKind::Identified;
    event.device = &exchange.outcome.reply;
    report_event(exchange, event);
    return true;
}

// Sends the header that lists the sectors to erase, then moves the line to the data-phase
// speed, which the receiver switches to as soon as it has the header.
bool send_header(Exchange& exchange) {
    const DownloadRequest& request = exchange.request;
    put_header_sectors(exchange.buffer, exchange.plan.sectors, exchange.plan.sector_count);
    report_event(exchange, ExchangeEventKind::HeaderGoing);
    // The header makes the receiver erase the sectors it lists: a user who pressed ESC before
    // it went out (the reply read does not look at the keyboard) wants nothing erased, and the
    // write looks at the keyboard before its first byte.
    complete_header(exchange.buffer, request.block_size, request.speed_hundreds);
    if (!send_frame(exchange, exchange.buffer, header_size))
        return false;
    drain_input(exchange.port);
    if (request.speed_hundreds != base_speed_hundreds &&
        !switch_speed(exchange, request.speed_hundreds * 100, ExchangeEventKind::DataSpeedSet))
        return false;
    const std::int64_t bound_ms =
        answer_bound(exchange, header_answer_bound_ms(exchange.plan.sector_count));
    const LinkResult ready = wait_for_ready(exchange, bound_ms);
    return ready == LinkResult::Done || cut_short(exchange, ready, bound_ms);
}

// Sends one block until the receiver accepts it. A resent block goes out again from the same
// buffer with the same blk, len and address: the receiver counts blocks by blk.
bool send_until_accepted(Exchange& exchange, ImageReport& image, const PlannedBlock& block,
                         bool last_of_image) {
    const std::uint32_t block_size = exchange.plan.block_size;
    ExchangeEvent event;
    event.blk = block.blk;
    event.len = block.len;
    event.last_of_image = last_of_image;
    for (;;) {
        event.crc =
            put_block_trailer(exchange.buffer, block_size, block.blk, block.len, block.address);
        event.kind = ExchangeEventKind::BlockGoing;
        report_event(exchange, event);
        // The whole frame goes out, data area and trailer, also behind a short last block.
        if (!send_block_frame(exchange, block))
            return false;
        // What the receiver sends right after a frame is not its answer yet.
        drain_input(exchange.port);
        event.kind = ExchangeEventKind::BlockSent;
        report_event(exchange, event);
        int mark = 0;
        const std::int64_t bound_ms = answer_bound(
            exchange, block_answer_bound_ms(block_size + block_trailer_size,
                                            exchange.request.speed_hundreds * 100, block.len));
        const LinkResult answer = wait_for_answer(exchange, "!@", mark, bound_ms, &block);
        if (answer != LinkResult::Done)
            return cut_short(exchange, answer, bound_ms);
        if (mark == 0) {
            ++image.accepted_blocks;
            image.accepted_bytes += block.len;
            event.kind = ExchangeEventKind::BlockAccepted;
            report_event(exchange, event);
            return true;
        }
        ++image.resends;
        event.kind = ExchangeEventKind::BlockRefused;
        report_event(exchange, event);
        event.resend = true;
    }
}

bool send_image(Exchange& exchange, int image) {
    const PlannedImage& planned = exchange.plan.images[image];
    ImageReport& report = report_of(exchange, planned.kind);
    ImageFile& file = exchange.files[static_cast<int>(planned.kind)];
    ExchangeEvent started;
    started.kind = ExchangeEventKind::ImageStarted;
    started.image_kind = planned.kind;
    started.image = image;
    started.image_count = exchange.plan.image_count;
    started.size = planned.size;
    report_event(exchange, started);
    const std::int64_t skipped = image_kind_info(planned.kind).skipped_bytes;
    // The bytes never sent count in the file's digest all the same.
    if (!hash_from_file(exchange.digests, file, planned.kind, skipped)) {
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
        hash_block(exchange.digests, planned.kind, exchange.buffer, block.len);
        if (!send_until_accepted(exchange, report, block, index + 1 == planned.blocks))
            return false;
    }
    close_image_file(file);
    report_event(exchange, ExchangeEventKind::ImageDone);
    return true;
}

// The download's steps in order; the first that does not go on ends the download.
bool run_steps(Exchange& exchange) {
    if (!send_frame(exchange, reinterpret_cast<const std::uint8_t*>(access_string),
                    access_string_size))
        return false;
    report_event(exchange, ExchangeEventKind::AccessSent);
    if (!open_and_plan(exchange))
        return false;
    if (exchange.request.digests)
        start_digests(exchange.digests, exchange.outcome);
    if (!read_identification(exchange) || !send_header(exchange))
        return false;
    for (int image = 0; image < exchange.plan.image_count; ++image) {
        if (!send_image(exchange, image))
            return false;
    }
    return switch_speed(exchange, base_baud, ExchangeEventKind::BaseSpeedBack);
}

} // namespace

DownloadOutcome run_download(SerialPort& port, LinkWatch& watch, std::uint8_t* buffer,
                             const DownloadRequest& request, const ExchangeSink& sink) {
    Exchange exchange{port, watch, buffer, request, sink, {}, {}, {}, 0, 0, 0, {}, {}, {}};
    const LinkListener given = watch.listener;
    watch.listener = LinkListener{pass_on, &exchange};
    // The selected images in download order, before anything can end the download.
    for (int k = 0; k < image_kind_count; ++k) {
        const auto kind = static_cast<ImageKind>(k);
        if ((request.selection & image_kind_info(kind).selection_bit) != 0)
            exchange.outcome.images[exchange.outcome.image_count++].kind = kind;
    }
    exchange.line_bytes_per_s = std::int64_t{request.speed_hundreds} * 100 / 10;
    run_steps(exchange);
    watch.listener = given;
    // A mark wait that the bound cut short is over with the download: the next download's first
    // wait must not take over its quiet spell.
    watch.waiting_for_mark = false;
    finish_digests(exchange.digests, exchange.files, exchange.outcome);
    for (ImageFile& file : exchange.files)
        close_image_file(file);
    report_event(exchange, ExchangeEventKind::Ended);
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
