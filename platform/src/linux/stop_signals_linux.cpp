#include <pthread.h>
#include <signal.h>

#include <ctime>

#include "velvix/platform/stop_signals.hpp"

namespace velvix::platform {
namespace {

sigset_t stopSignalSet() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

}  // namespace

// Blocked signals stay pending until wait() collects them; threads started afterwards inherit
// the mask, so none of them is interrupted.
StopSignals::StopSignals() {
    const sigset_t signals = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

StopSignals::~StopSignals() {
    const sigset_t signals = stopSignalSet();
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

bool StopSignals::wait(std::uint32_t milliseconds) {
    const sigset_t signals = stopSignalSet();
    const timespec timeout{static_cast<time_t>(milliseconds / 1000),
                           static_cast<long>(milliseconds % 1000) * 1'000'000L};
    return sigtimedwait(&signals, nullptr, &timeout) > 0;
}

}  // namespace velvix::platform
