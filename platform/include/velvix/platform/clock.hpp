#pragma once

#include <cstdint>

namespace velvix::platform {

// Monotonic time in units of 100 ns.
std::uint64_t clockNow100ns();

// Sleeps for the given number of milliseconds; 0 only gives up the processor for a moment
// (the rest of the time slice, or a few hundredths of a millisecond where a yield would spin).
void sleepMilliseconds(std::uint32_t milliseconds);

}  // namespace velvix::platform
