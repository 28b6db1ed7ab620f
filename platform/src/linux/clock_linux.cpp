#include <sched.h>
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
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1'000'000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace velvix::platform
