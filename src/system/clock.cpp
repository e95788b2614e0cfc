#include "system/clock.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point program_start = Clock::now();

} // namespace

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - program_start)
        .count();
}
