// The block phase of a download: every block frame is the whole data area of B bytes followed
// by blk, len, the flash address, four zero bytes and the CRC of everything before it (host
// numbers are big-endian). The receiver accepts a block by writing its first `len` bytes at the
// address and answering '!', or asks for it again with '@'.

#include "sim_blocks.h"

#include "protocol/frames.h"

#include <cstdint>
#include <limits>

namespace {

// A block frame's bad CRC is answered '@'; after this many in a row for one block the host is
// evidently sending a wrong CRC, and asking again would only repeat it.
constexpr std::uint32_t max_bad_crcs = 3;

struct Trailer {
    std::uint32_t blk = 0;
    std::uint32_t len = 0;
    std::uint32_t address = 0;
    std::uint32_t zero = 0;
    std::uint32_t received_crc = 0;
    std::uint32_t computed_crc = 0;
};

// Where the block phase stands: the ordinal of the block awaited (resends not counted), the last
// accepted block, and the frame of this block last answered '@', which a resend must repeat.
struct Cursor {
    std::uint32_t ordinal = 0;
    bool have_previous = false;
    Trailer previous;
    bool resending = false;
    Trailer refused;
    std::uint32_t resends_sent = 0;
    std::uint32_t bad_crcs = 0;
};

enum class Answer { Accept, Resend, Silent, Violation };

std::uint32_t get_be16(const std::uint8_t* at) {
    return std::uint32_t{at[0]} << 8 | at[1];
}

Trailer read_trailer(const Sim& sim) {
    const std::uint8_t* trailer = sim.frame.data() + sim.block_size;
    Trailer t;
    t.blk = get_be16(trailer);
    t.len = get_be16(trailer + 2);
    t.address = get_be32(trailer + 4);
    t.zero = get_be32(trailer + 8);
    t.received_crc = get_be32(trailer + 12);
    t.computed_crc = link_crc(sim.block_size + 12, 0, sim.frame.data());
    return t;
}

bool sector_listed(const Sim& sim, std::uint32_t address) {
    const std::uint32_t sector = first_sector_number + address / flash_sector_size;
    for (std::size_t i = 0; i < sim.sector_count; ++i)
        if (sim.sectors[i] == sector)
            return true;
    return false;
}

// Every byte of the block must land in a sector the header listed (and so was erased).
bool inside_listed_sectors(const Sim& sim, const Trailer& t) {
    const std::uint64_t end = std::uint64_t{t.address} + t.len;
    if (end > flash_size)
        return false;
    for (std::uint64_t at = t.address; at < end; at += flash_sector_size)
        if (!sector_listed(sim, static_cast<std::uint32_t>(at)))
            return false;
    return sector_listed(sim, static_cast<std::uint32_t>(end - 1));
}

// A block either continues its image right behind a full block, or starts the next image at its
// own flash address; the first block of a download starts an image.
bool address_follows(const Sim& sim, const Cursor& cursor, const Trailer& t) {
    if (!cursor.have_previous)
        return is_image_start(t.address);
    const Trailer& p = cursor.previous;
    if (p.len == sim.block_size && t.address == p.address + p.len)
        return true;
    return is_image_start(t.address) && t.address >= p.address + p.len;
}

bool same_block(const Trailer& a, const Trailer& b) {
    return a.blk == b.blk && a.len == b.len && a.address == b.address;
}

// The checks of a frame whose CRC matched. False after reporting the violation.
bool fields_valid(Sim& sim, const Cursor& cursor, const Trailer& t) {
    const std::uint32_t k = cursor.ordinal;
    if (t.zero != 0) {
        report_error(sim.report, "block %u: 0x%08X where four zero bytes belong", k, t.zero);
        return false;
    }
    if (t.len < 1 || t.len > sim.block_size) {
        report_error(sim.report, "block %u: len %u outside 1..%u", k, t.len, sim.block_size);
        return false;
    }
    if (cursor.resending && !same_block(t, cursor.refused)) {
        report_error(sim.report, "block %u: resent as blk=%u len=%u address=0x%06X, not as sent", k,
                     t.blk, t.len, t.address);
        return false;
    }
    if (cursor.have_previous && t.blk + 1 != cursor.previous.blk) {
        report_error(sim.report, "block %u: blk=%u, expected %u", k, t.blk,
                     cursor.previous.blk - 1);
        return false;
    }
    if (!address_follows(sim, cursor, t)) {
        report_error(sim.report, "block %u: address 0x%06X %s", k, t.address,
                     cursor.have_previous ? "neither continues the image nor starts the next"
                                          : "is not where an image starts");
        return false;
    }
    if (!inside_listed_sectors(sim, t)) {
        report_error(sim.report, "block %u: 0x%06X..0x%06X lies outside the listed sectors", k,
                     t.address, t.address + t.len - 1);
        return false;
    }
    return true;
}

Answer decide(Sim& sim, Cursor& cursor, const Trailer& t) {
    if (t.received_crc != t.computed_crc) {
        sim.violated = true;
        report_error(sim.report, "block %u: CRC 0x%08X, computed 0x%08X", cursor.ordinal,
                     t.received_crc, t.computed_crc);
        if (++cursor.bad_crcs < max_bad_crcs)
            return Answer::Resend;
        report_error(sim.report, "block %u: giving up after %u frames with a bad CRC",
                     cursor.ordinal, max_bad_crcs);
        return Answer::Violation;
    }
    if (!fields_valid(sim, cursor, t))
        return Answer::Violation;
    if (cursor.ordinal == sim.options.no_mark_at)
        return Answer::Silent;
    if (cursor.resends_sent < resends_for(sim.options, cursor.ordinal)) {
        ++cursor.resends_sent;
        cursor.resending = true;
        cursor.refused = t;
        return Answer::Resend;
    }
    return Answer::Accept;
}

void accept(Sim& sim, Cursor& cursor, const Trailer& t) {
    write_flash(sim.flash, t.address, sim.frame.data(), t.len);
    cursor.previous = t;
    cursor.have_previous = true;
    cursor.resending = false;
    cursor.resends_sent = 0;
    cursor.bad_crcs = 0;
    ++cursor.ordinal;
}

// --hangup-at: half of the block arrives, then the line is gone, as if the cable were pulled.
Outcome hang_up(Sim& sim, std::uint32_t ordinal) {
    std::size_t got = 0;
    const LineStatus status = read_bytes(sim.line, sim.frame.data(), sim.frame.size() / 2, got,
                                         std::numeric_limits<std::int64_t>::max());
    if (status != LineStatus::Ok)
        return line_outcome(sim, status, "waiting for the block to hang up in");
    drop_line(sim.line);
    report_line(sim.report, "hangup block %u", ordinal);
    return Outcome::HungUp;
}

// Receives one frame of block `cursor.ordinal` and answers it. Done when the block was
// answered (accepted or not), anything else when the download ends here.
Outcome receive_frame(Sim& sim, Cursor& cursor, Trailer& t) {
    const std::uint32_t k = cursor.ordinal;
    std::size_t got = 0;
    const LineStatus status = read_bytes(sim.line, sim.frame.data(), sim.frame.size(), got,
                                         std::numeric_limits<std::int64_t>::max());
    const std::int64_t end_us = sim_now_us();
    if (status != LineStatus::Ok) {
        const std::string doing = "waiting for block " + std::to_string(k);
        return line_outcome(sim, status, doing.c_str());
    }
    t = read_trailer(sim);
    report_line(sim.report, "block %u blk=%u len=%u address=0x%06X crc=%s", k, t.blk, t.len,
                t.address, t.received_crc == t.computed_crc ? "ok" : "bad");
    const RestartPoint here = cursor.resending ? RestartPoint::Resend : RestartPoint::Block;
    if (restart_due(sim, here, k)) {
        const std::string where =
            (here == RestartPoint::Resend ? "resend " : "block ") + std::to_string(k);
        return restart(sim, where.c_str());
    }
    switch (decide(sim, cursor, t)) {
    case Answer::Violation:
        return Outcome::Violation;
    case Answer::Silent: {
        trace(sim.report, "not answering block %u", k);
        // Said when the mark would have come: what comes inside the host's drain is lost.
        const LineStatus paused =
            pause_until(sim.line, end_us + sim.options.mark_delay_ms * us_per_ms);
        if (paused != LineStatus::Ok)
            return line_outcome(sim, paused, "waiting to talk instead of a mark");
        const Outcome said = write_line(sim, sim.options.silent_text, "talking instead of a mark");
        if (said != Outcome::Done)
            return said;
        return line_outcome(sim, discard_until_closed(sim.line), "silent after a block");
    }
    case Answer::Resend:
        return send_mark(sim, end_us, sim.options.block_text, resend_mark);
    case Answer::Accept:
        break;
    }
    accept(sim, cursor, t);
    return send_mark(sim, end_us, sim.options.block_text, ready_mark);
}

} // namespace

Outcome receive_blocks(Sim& sim) {
    Cursor cursor;
    for (;;) {
        const std::uint32_t k = cursor.ordinal;
        if (k == sim.options.stop_reading_at) {
            trace(sim.report, "no longer reading, from block %u on", k);
            const LineStatus status =
                pause_until(sim.line, std::numeric_limits<std::int64_t>::max());
            return line_outcome(sim, status, "no longer reading");
        }
        if (k == sim.options.hangup_at)
            return hang_up(sim, k);
        Trailer t;
        const Outcome outcome = receive_frame(sim, cursor, t);
        if (outcome != Outcome::Done)
            return outcome;
        if (cursor.ordinal != k && t.blk == 0)
            return Outcome::Done; // the last block was accepted
    }
}
