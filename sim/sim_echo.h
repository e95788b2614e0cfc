#ifndef UPGRADE_SIM_SIM_ECHO_H
#define UPGRADE_SIM_SIM_ECHO_H

// A host's line can send the receiver's own announcement back. A USB adapter plugged in a
// moment ago is a terminal that echoes what it receives until its first program sets it up,
// and the kernel makes the adapter ready to receive inside open() itself, before any program
// holds the device: an announcement arriving then comes back, whole or in part, ahead of the
// host's answer. No host can prevent that, so the receiver drops it, as a boot block that
// waits for its access string would, and the host's own bytes are still checked exactly.

#include <cstddef>
#include <cstdint>
#include <string_view>

// How many of `count` leading bytes read an unbroken run of `sent`, taken as repeated end to
// end (the receiver sends its announcement again and again): the echo to drop. Stops before a
// byte equal to `answer_start` (the first byte of the access string), which belongs to the
// host's answer. 0 when `sent` is empty or the first byte is not an echo.
std::size_t echo_length(std::string_view sent, const std::uint8_t* bytes, std::size_t count,
                        char answer_start);

#endif
