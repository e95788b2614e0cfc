#ifndef UPGRADE_PROTOCOL_LINE_TIME_H
#define UPGRADE_PROTOCOL_LINE_TIME_H

// What the line and the receiver's flash take: how far a block has got on a line with no flow
// control, and how long a receiver may take at worst to answer a frame, from its flash chip's
// data. A status line counts the first; a bound on the wait for the receiver's answer is made
// of the second.

#include <cstddef>
#include <cstdint>

// The worst case of the flash chips the receivers carry (the AM29LV160 class): a sector erase
// may take up to 15 s, a byte's programming up to 300 us. After the header the receiver erases
// the sectors it lists before its ready mark; after a block it programs the block's bytes.
constexpr std::int64_t sector_erase_worst_ms = 15000;
constexpr std::int64_t byte_program_worst_us = 300;
// Beside the chip's time: the frame still on its way out of the adapter is counted on its own,
// this covers the receiver's own work, the mark's way back and a machine that is slow to
// schedule the program.
constexpr std::int64_t answer_margin_ms = 5000;

// The worst-case bound on the answer to a header that lists `sectors` sectors, and to a frame of
// `frame_bytes` bytes (at `baud`) that carries `len` image bytes.
std::int64_t header_answer_bound_ms(std::size_t sectors);
std::int64_t block_answer_bound_ms(std::size_t frame_bytes, std::int32_t baud, std::uint32_t len);

// Image bytes of a block of `len` on the line `elapsed_ms` after it began to go out at
// `bytes_per_s`; never more than `len`. The line has no flow control: once the system has the
// bytes they leave at the line's pace, whatever the driver reports of them (a pseudo-terminal
// or a USB adapter takes a whole block at once; Windows reports a write only once it is done).
std::uint64_t bytes_on_line(std::uint32_t len, std::int64_t elapsed_ms, std::int64_t bytes_per_s);

#endif
