#include <time.h>

#include <cerrno>

#include "velvix/platform/clock.hpp"

namespace velvix::platform {

std::uint64_t clockNow100ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 10'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 100u;
}

void sleepMilliseconds(std::uint32_t milliseconds) {
    // A yield returns at once when nothing else wants the processor, so that callers waiting
    // in a loop of yields would spin; Linux's timers are fine enough to give it up for a
    // twentieth of a millisecond instead.
    constexpr long kGiveUpNanoseconds = 50'000;
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       milliseconds == 0 ? kGiveUpNanoseconds
                                         : static_cast<long>(milliseconds % 1000) * 1'000'000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace velvix::platform
