#pragma once

#include <cstdint>

namespace velvix::platform {

// The user's requests to end a program without a window: Ctrl+C, termination by the system.
// Construct it before starting any thread, so that the signals reach it and no other thread.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // True when a stop was requested, waiting for one at most `milliseconds`.
    bool wait(std::uint32_t milliseconds);
};

}  // namespace velvix::platform
