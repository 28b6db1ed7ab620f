#include "velvix/pipeline/frame_pacer.hpp"

#include "velvix/pipeline/frame_size.hpp"
#include "velvix/platform/clock.hpp"

namespace velvix {

std::uint64_t SystemPacerClock::now() {
    return platform::clockNow100ns();
}

void SystemPacerClock::sleep(std::uint32_t milliseconds) {
    platform::sleepMilliseconds(milliseconds);
}

void FramePacer::start() {
    deadline_ = clock_.now();
}

void FramePacer::waitForNextTick() {
    constexpr std::uint64_t kPerMillisecond = 10'000;
    deadline_ += kFramePeriod;
    const std::uint64_t afterWork = clock_.now();
    if (afterWork >= deadline_) {
        deadline_ = afterWork;
        return;
    }
    const std::uint64_t now = clock_.now();
    if (now >= deadline_) {
        return;
    }
    // Sleep one millisecond short of the whole milliseconds left, since a sleep may overshoot;
    // yield for the rest.
    const auto wholeMilliseconds = static_cast<std::uint32_t>((deadline_ - now) / kPerMillisecond);
    if (wholeMilliseconds > 1) {
        clock_.sleep(wholeMilliseconds - 1);
    }
    while (clock_.now() < deadline_) {
        clock_.sleep(0);
    }
}

}  // namespace velvix
