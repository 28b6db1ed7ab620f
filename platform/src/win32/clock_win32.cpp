#include <windows.h>

#include "velvix/platform/clock.hpp"

namespace velvix::platform {

std::uint64_t clockNow100ns() {
    static const double ticksPerSecond = [] {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    return static_cast<std::uint64_t>(static_cast<double>(counter.QuadPart) * 10'000'000.0 /
                                      ticksPerSecond);
}

void sleepMilliseconds(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

}  // namespace velvix::platform
