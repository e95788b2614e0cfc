#include "sim_exchange.h"

#include "sim_blocks.h"
#include "sim_echo.h"

#include "protocol/frames.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace {

constexpr std::int64_t forever_us = std::numeric_limits<std::int64_t>::max();
constexpr std::uint32_t base_speed = 576; // hundreds of baud: no speed change
constexpr int base_speed_baud = 57600;
// How long the host may take to switch its line speed after the header or after the last block.
// A host that never switches is caught all the same; a short limit only fails hosts that are
// slow to be scheduled, as the Windows build under wine is on a loaded machine (seen at over
// 2 s between the last mark and the switch back).
constexpr std::int64_t speed_switch_us = 10000000;

Outcome pause_ms(Sim& sim, int ms, const char* doing) {
    if (ms == 0)
        return Outcome::Done;
    const LineStatus status = pause_until(sim.line, sim_now_us() + ms * us_per_ms);
    return status == LineStatus::Ok ? Outcome::Done : line_outcome(sim, status, doing);
}

// Drops the echo of the announcement from the front of the `total` bytes collected (see
// sim_echo.h) and says so in the report; returns how many are left.
std::size_t drop_echo(Sim& sim, std::uint8_t* bytes, std::size_t total) {
    const std::string sent = sim.options.stray + sim.options.announce;
    const std::size_t echo = echo_length(sent, bytes, total, access_string[0]);
    if (echo == 0)
        return total;
    report_line(sim.report, "echo %zu", echo);
    std::memmove(bytes, bytes + echo, total - echo);
    return total - echo;
}

// Sends the announcement (again every --announce-every while no answer has begun) and checks
// the access string that answers it.
Outcome await_access(Sim& sim) {
    const SimOptions& options = sim.options;
    std::uint8_t access[access_string_size] = {};
    std::size_t total = 0;
    std::int64_t announce_at = sim_now_us();
    while (total < access_string_size) {
        if (total == 0 && sim_now_us() >= announce_at) {
            const Outcome sent =
                write_line(sim, options.stray + options.announce, "sending the announcement");
            if (sent != Outcome::Done)
                return sent;
            trace(sim.report, "announced");
            // A receiver that started again announces itself until it is answered, as a
            // freshly powered boot block does.
            const int every_ms = options.announce_every_ms > 0 ? options.announce_every_ms
                                 : sim.restarted               ? 1000
                                                               : 0;
            announce_at = every_ms > 0 ? sim_now_us() + every_ms * us_per_ms : forever_us;
        }
        std::size_t got = 0;
        const LineStatus status = read_bytes(sim.line, access + total, access_string_size - total,
                                             got, total == 0 ? announce_at : forever_us);
        total = drop_echo(sim, access, total + got);
        if (status != LineStatus::Ok && status != LineStatus::Deadline)
            return line_outcome(sim, status, "waiting for the access string");
    }
    if (std::memcmp(access, access_string, access_string_size) != 0) {
        report_error(sim.report, "wrong access string \"%.*s\"",
                     static_cast<int>(access_string_size), reinterpret_cast<const char*>(access));
        return Outcome::Violation;
    }
    trace(sim.report, "access string accepted");
    // On a pty the host's settings are visible here: the speed it answered at, which a host
    // behind a real serial driver (a virtual machine's UART or USB adapter) passes on to the pty.
    if (sim.line.is_pty)
        report_line(sim.report, "access_speed=%d", line_speed(sim.line));
    return Outcome::Done;
}

void put_le16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

// The ready mark, then the identification: flash manufacturer and device id, boot block
// version, and the CRC of those six bytes, all little-endian as the receiver sends numbers.
Outcome handshake(Sim& sim) {
    const SimOptions& options = sim.options;
    Outcome outcome = pause_ms(sim, options.ready_delay_ms, "waiting to send the ready mark");
    if (outcome == Outcome::Done && restart_due(sim, RestartPoint::Ready))
        return restart(sim, "ready");
    if (outcome == Outcome::Done)
        outcome =
            write_line(sim, options.text + static_cast<char>(ready_mark), "sending the ready mark");
    if (outcome == Outcome::Done)
        outcome = pause_ms(sim, options.reply_delay_ms, "waiting to send the reply");
    if (outcome == Outcome::Done && restart_due(sim, RestartPoint::Reply))
        return restart(sim, "reply");
    if (outcome != Outcome::Done)
        return outcome;
    std::uint8_t reply[device_info_size] = {};
    put_le16(reply, options.manufacturer_id);
    put_le16(reply + 2, options.device_id);
    reply[4] = options.version_major;
    reply[5] = options.version_minor;
    const std::uint32_t crc = link_crc(6, 0, reply);
    put_le16(reply + 6, static_cast<std::uint16_t>(crc));
    put_le16(reply + 8, static_cast<std::uint16_t>(crc >> 16));
    if (options.reply_bad_crc)
        reply[6] ^= 0x01;
    const std::string bytes(reinterpret_cast<const char*>(reply),
                            static_cast<std::size_t>(options.reply_short));
    trace(sim.report, "sending %d reply bytes", options.reply_short);
    return write_line(sim, bytes, "sending the reply");
}

// Reads the 52-byte header; Abandoned when --header-wait passes before its first byte.
Outcome read_header(Sim& sim, std::uint8_t* header, std::int64_t& end_us) {
    const int wait_ms = sim.options.header_wait_ms;
    const std::int64_t until = wait_ms > 0 ? sim_now_us() + wait_ms * us_per_ms : forever_us;
    std::size_t got = 0;
    LineStatus status = read_bytes(sim.line, header, 1, got, until);
    if (status == LineStatus::Deadline) {
        report_line(sim.report, "abandoned");
        return Outcome::Abandoned;
    }
    if (status == LineStatus::Ok)
        status = read_bytes(sim.line, header + 1, header_size - 1, got, forever_us);
    end_us = sim_now_us();
    return status == LineStatus::Ok ? Outcome::Done
                                    : line_outcome(sim, status, "waiting for the header");
}

// The header's fields must describe a download this receiver can take.
bool header_fields_valid(Sim& sim) {
    if (sim.block_size < 1 || sim.block_size > max_block_size) {
        report_error(sim.report, "block size %u outside 1..%u", sim.block_size, max_block_size);
        return false;
    }
    if (sim.speed == 0 || !baud_supported(static_cast<int>(sim.speed) * 100)) {
        report_error(sim.report, "speed %u: %u baud is not a line speed", sim.speed,
                     sim.speed * 100);
        return false;
    }
    if (sim.sector_count > max_header_sectors) {
        report_error(sim.report, "%zu sectors listed, at most %zu fit", sim.sector_count,
                     max_header_sectors);
        return false;
    }
    for (std::size_t i = 0; i < sim.sector_count; ++i)
        if (!sector_writable(sim.sectors[i])) {
            report_error(sim.report, "sector %u listed: only %d to %d may be erased",
                         sim.sectors[i], first_writable_sector, last_sector_number);
            return false;
        }
    return true;
}

// Checks the header and erases its sectors.
Outcome take_header(Sim& sim, const std::uint8_t* header) {
    const std::uint32_t received = get_be32(header + header_crc_offset);
    const std::uint32_t computed = link_crc(header_crc_offset, 0, header);
    if (received != computed) {
        report_error(sim.report, "header CRC 0x%08X, computed 0x%08X", received, computed);
        return Outcome::Violation;
    }
    sim.block_size = std::uint32_t{header[0]} << 8 | header[1];
    sim.speed = std::uint32_t{header[2]} << 8 | header[3];
    sim.sector_count = header[4];
    std::string list;
    const std::size_t listed =
        sim.sector_count < max_header_sectors ? sim.sector_count : max_header_sectors;
    for (std::size_t i = 0; i < listed; ++i) {
        sim.sectors[i] = header[header_sector_offset + i];
        if (i != 0)
            list += ',';
        list += std::to_string(sim.sectors[i]);
    }
    report_line(sim.report, "header block_size=%u speed=%u sectors=%s", sim.block_size, sim.speed,
                list.c_str());
    if (!header_fields_valid(sim))
        return Outcome::Violation;
    for (std::size_t i = 0; i < sim.sector_count; ++i)
        erase_sector(sim.flash, sim.sectors[i]);
    sim.frame.assign(sim.block_size + block_trailer_size, 0);
    return Outcome::Done;
}

// Follows the data-phase speed. On a pty the host's switch is watched on the shared settings;
// on a real line the simulator can only switch its own side.
Outcome follow_speed(Sim& sim, std::int64_t header_end_us) {
    const int baud = static_cast<int>(sim.speed) * 100;
    if (sim.line.is_pty) {
        int seen = -1;
        const LineStatus status =
            wait_for_speed(sim.line, baud, sim_now_us() + speed_switch_us, seen);
        report_line(sim.report, "speed_seen=%d", seen);
        if (status == LineStatus::Deadline) {
            report_error(sim.report, "the host did not switch to %d baud (its line is at %d)", baud,
                         seen);
            return Outcome::Violation;
        }
        if (status != LineStatus::Ok)
            return line_outcome(sim, status, "waiting for the speed change");
    }
    if (!set_line_speed(sim.line, baud)) {
        report_error(sim.report, "cannot set the line to %d baud", baud);
        return Outcome::Violation;
    }
    trace(sim.report, "data phase at %d baud", baud);
    return send_mark(sim, header_end_us, sim.options.text, ready_mark);
}

// After the last block the host returns to the base speed, ready for the next announcement.
Outcome finish_download(Sim& sim) {
    if (sim.line.is_pty && sim.speed != base_speed) {
        int seen = -1;
        const LineStatus status =
            wait_for_speed(sim.line, base_speed_baud, sim_now_us() + speed_switch_us, seen);
        if (status == LineStatus::Deadline) {
            report_error(sim.report, "the host stayed at %d baud after the last block", seen);
            return Outcome::Violation;
        }
        if (status != LineStatus::Ok)
            return line_outcome(sim, status, "waiting for the return to 57600 baud");
    }
    set_line_speed(sim.line, base_speed_baud);
    report_line(sim.report, "done");
    return Outcome::Done;
}

} // namespace

Outcome serve_download(Sim& sim, int number, std::int64_t announce_at_us) {
    report_line(sim.report, "download %d", number);
    const LineStatus waited = pause_until(sim.line, announce_at_us);
    if (waited != LineStatus::Ok)
        return line_outcome(sim, waited, "waiting to announce");
    set_line_speed(sim.line, base_speed_baud);
    Outcome outcome = await_access(sim);
    if (outcome == Outcome::Done)
        outcome = handshake(sim);
    std::uint8_t header[header_size] = {};
    std::int64_t header_end_us = 0;
    if (outcome == Outcome::Done)
        outcome = read_header(sim, header, header_end_us);
    if (outcome == Outcome::Done)
        outcome = take_header(sim, header);
    if (outcome == Outcome::Done && restart_due(sim, RestartPoint::Header))
        outcome = restart(sim, "header");
    if (outcome == Outcome::Done)
        outcome = follow_speed(sim, header_end_us);
    if (outcome == Outcome::Done)
        outcome = receive_blocks(sim);
    if (outcome == Outcome::Done)
        outcome = finish_download(sim);
    if (outcome == Outcome::Violation)
        sim.violated = true;
    return outcome;
}
