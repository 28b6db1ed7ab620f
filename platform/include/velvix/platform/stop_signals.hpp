#pragma once

#include <cstdint>

namespace velvix::platform {

// The user's requests to end a program without a window: Ctrl+C, termination by the system,
// the end of the terminal session. A request is noticed whichever of the process's threads the
// system hands it to, including threads that libraries started before main. While it exists,
// writing to a pipe whose reader has gone fails with an error instead of ending the program.
// One at a time per process; make it before the program says it is ready.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // True when a stop was requested, waiting for one at most `milliseconds`. Once a stop was
    // requested, every later call says so at once.
    bool wait(std::uint32_t milliseconds);

  private:
    bool requested_ = false;
};

}  // namespace velvix::platform
