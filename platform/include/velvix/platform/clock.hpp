#pragma once

#include <cstdint>

namespace velvix::platform {

// Monotonic time in units of 100 ns.
std::uint64_t clockNow100ns();

// Sleeps for the given number of milliseconds; 0 only gives up the rest of the time slice.
void sleepMilliseconds(std::uint32_t milliseconds);

}  // namespace velvix::platform
