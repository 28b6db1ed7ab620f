#pragma once

#include <cstdint>

namespace velvix {

// Time and sleep as the frame worker uses them; tests replace it.
class PacerClock {
  public:
    virtual ~PacerClock() = default;
    // Monotonic time in units of 100 ns.
    virtual std::uint64_t now() = 0;
    // 0 only yields the processor.
    virtual void sleep(std::uint32_t milliseconds) = 0;
};

class SystemPacerClock final : public PacerClock {
  public:
    std::uint64_t now() override;
    void sleep(std::uint32_t milliseconds) override;
};

// Keeps the worker at 30 ticks per second on a fixed schedule: the deadline advances by one
// frame period per tick, so the rate does not drift; a tick that overran starts the schedule
// afresh from its end instead of catching up with a burst of short ticks.
class FramePacer {
  public:
    explicit FramePacer(PacerClock& clock) : clock_(clock) {}

    // Starts the schedule now.
    void start();
    // Waits until the end of the current tick.
    void waitForNextTick();
    std::uint64_t deadline() const { return deadline_; }

  private:
    PacerClock& clock_;
    std::uint64_t deadline_ = 0;
};

}  // namespace velvix
