// The day's visits: what each receiver does, drawn from a generator of the line's own, and the
// records the station must write for it.

#include "bench_day.h"

#include "link/link_wait.h"
#include "protocol/download.h"
#include "protocol/image_plan.h"
#include "protocol/line_time.h"

namespace bench {

namespace {

constexpr int restart_silence_ms = 2000; // the simulator's default: within every bound
// A receiver that is to outlast the bound stays silent this much longer than the bound.
constexpr int past_bound_ms = 3000;
constexpr double handshake_s = 0.5; // announcement to the first block, about

// The share of the day, out of 100, of each kind of visit.
struct Share {
    VisitKind kind;
    int weight;
};
constexpr Share shares[] = {
    {VisitKind::Whole, 46},      {VisitKind::Restart, 22},          {VisitKind::NoMark, 6},
    {VisitKind::LongSilence, 8}, {VisitKind::UnplugInDownload, 10}, {VisitKind::UnplugIdle, 8},
};

std::uint64_t next(DayRandom& random) {
    // splitmix64: the same numbers on every system and compiler, unlike the standard
    // library's distributions.
    std::uint64_t z = (random.state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Where a receiver starts again, and the time into its download until it does, about.
struct Point {
    std::string option; // --restart-at's value
    double at_s = 0;
};

Point draw_point(DayRandom& random, const DayShape& shape, bool resend_too) {
    const int k = draw(random, 0, shape.blocks - 1);
    switch (draw(random, 0, resend_too ? 4 : 3)) {
    case 0:
        return {"ready", handshake_s};
    case 1:
        return {"reply", handshake_s};
    case 2:
        return {"header", handshake_s};
    case 3:
        return {"block:" + std::to_string(k), handshake_s + (k + 1) * shape.frame_s};
    default:
        return {"resend:" + std::to_string(k), handshake_s + (k + 2) * shape.frame_s};
    }
}

// The bound of the step at `point`, and the record of the download the silence ends.
std::int64_t bound_at(const DayShape& shape, const std::string& point, std::string& result) {
    result = "no_answer";
    if (point == "ready")
        return shape.ready_bound_ms;
    if (point == "reply") {
        // The identification follows the ready mark at once: it is read within a fixed time,
        // and a receiver silent past it leaves a short reply, a plain failure.
        result = "failed";
        return shape.reply_ms;
    }
    if (point == "header")
        return shape.header_bound_ms;
    return shape.block_bound_ms;
}

int whole_s(const DayShape& shape) {
    return static_cast<int>(handshake_s + shape.blocks * shape.frame_s) + 2;
}

void whole(DayRandom& random, const DayShape& shape, Visit& v) {
    v.what = "whole download";
    v.results = {"finished"};
    v.estimate_s = whole_s(shape);
    if (draw(random, 0, 4) == 0) {
        const int k = draw(random, 0, shape.blocks - 1);
        const int n = draw(random, 1, 2);
        v.receiver = {"--resend", std::to_string(k) + ":" + std::to_string(n)};
        v.what += ", block " + std::to_string(k) + " resent " + std::to_string(n) + " times";
        v.estimate_s += n * static_cast<int>(shape.frame_s + 1);
    }
}

void restart(DayRandom& random, const DayShape& shape, Visit& v) {
    const Point point = draw_point(random, shape, true);
    v.what = "restart at " + point.option;
    v.receiver = {"--restart-at", point.option, "--restart-silence",
                  std::to_string(restart_silence_ms)};
    if (point.option.rfind("resend:", 0) == 0) {
        const std::string k = point.option.substr(point.option.find(':') + 1);
        v.receiver.insert(v.receiver.end(),
                          {"--resend", k + ":" + std::to_string(draw(random, 1, 2))});
    }
    v.quiet_ms = restart_silence_ms;
    v.results = {"restarted", "finished"};
    v.estimate_s = static_cast<int>(point.at_s) + restart_silence_ms / 1000 + whole_s(shape) +
                   static_cast<int>(2 * shape.frame_s);
}

void no_mark(DayRandom& random, const DayShape& shape, Visit& v) {
    const int k = draw(random, 0, shape.blocks - 1);
    v.what = "no mark for block " + std::to_string(k);
    v.receiver = {"--no-mark-at", std::to_string(k)};
    v.quiet_ms = shape.block_bound_ms;
    v.results = {"no_answer"};
    v.estimate_s = static_cast<int>(handshake_s + (k + 1) * shape.frame_s) +
                   static_cast<int>(shape.block_bound_ms / 1000) + 2;
}

void long_silence(DayRandom& random, const DayShape& shape, Visit& v) {
    const Point point = draw_point(random, shape, false);
    std::string first;
    v.quiet_ms = bound_at(shape, point.option, first);
    const std::int64_t silence_ms = v.quiet_ms + past_bound_ms;
    v.what = "restart at " + point.option + ", silent " + std::to_string(silence_ms / 1000) + " s";
    v.receiver = {"--restart-at", point.option, "--restart-silence", std::to_string(silence_ms)};
    v.results = {first, "finished"};
    v.estimate_s =
        static_cast<int>(point.at_s) + static_cast<int>(silence_ms / 1000) + 1 + whole_s(shape);
}

void unplug(DayRandom& random, const DayShape& shape, bool in_download, Visit& v) {
    v.away_ms = draw(random, 500, 4000);
    if (!in_download) {
        v.what = "unplugged while waiting";
        v.estimate_s = v.away_ms / 1000 + 3;
        return;
    }
    v.cut_after = draw(random, 0, shape.blocks - 1);
    v.cut_ms = draw(random, 0, v.cut_after == 0 ? 4000 : 2000);
    v.what = "unplugged " + std::to_string(v.cut_ms) + " ms after " +
             (v.cut_after == 0 ? std::string("start pol ok")
                               : "block line " + std::to_string(v.cut_after));
    v.results = {"line_lost"};
    v.estimate_s =
        static_cast<int>(handshake_s + (v.cut_after + 1) * shape.frame_s) + v.away_ms / 1000 + 3;
}

} // namespace

DayShape day_shape(std::size_t image_bytes, std::uint32_t block_size, std::int32_t baud,
                   int mark_delay_ms) {
    DayShape s{};
    s.blocks = static_cast<int>((image_bytes + block_size - 1) / block_size);
    s.mark_delay_ms = mark_delay_ms;
    s.ready_bound_ms = answer_margin_ms;
    s.reply_ms = reply_timeout_ms;
    const auto sectors = static_cast<std::size_t>(
        sector_count(ImageKind::Tplist, static_cast<std::int64_t>(image_bytes)));
    s.header_bound_ms = header_answer_bound_ms(sectors);
    const std::size_t frame = block_size + block_trailer_size;
    s.block_bound_ms = block_answer_bound_ms(frame, baud, block_size);
    s.frame_s = static_cast<double>(frame) * 10 / baud;
    return s;
}

DayRandom day_random(std::uint64_t seed, int line) {
    DayRandom random{seed * 1000003ULL + static_cast<std::uint64_t>(line)};
    next(random);
    return random;
}

int draw(DayRandom& random, int low, int high) {
    return low + static_cast<int>(next(random) % static_cast<std::uint64_t>(high - low + 1));
}

Visit next_visit(DayRandom& random, const DayShape& shape) {
    Visit v;
    int pick = draw(random, 0, 99);
    for (const Share& share : shares) {
        v.kind = share.kind;
        if (pick < share.weight)
            break;
        pick -= share.weight;
    }
    v.gap_ms = draw(random, 200, 3000);
    v.delay_ms = draw(random, 50, 500);
    switch (v.kind) {
    case VisitKind::Whole:
        whole(random, shape, v);
        break;
    case VisitKind::Restart:
        restart(random, shape, v);
        break;
    case VisitKind::NoMark:
        no_mark(random, shape, v);
        break;
    case VisitKind::LongSilence:
        long_silence(random, shape, v);
        break;
    case VisitKind::UnplugInDownload:
        unplug(random, shape, true, v);
        break;
    case VisitKind::UnplugIdle:
        unplug(random, shape, false, v);
        break;
    }
    return v;
}

std::string table_result(const std::string& record_result) {
    if (record_result == "no_answer")
        return "no answer";
    if (record_result == "line_lost")
        return "line lost";
    return record_result;
}

} // namespace bench
