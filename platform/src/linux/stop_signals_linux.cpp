#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>

#include "velvix/platform/stop_signals.hpp"

namespace velvix::platform {
namespace {

constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};

// The handler only writes one byte into a pipe, which wait() watches. A handler, unlike a
// blocked signal mask, serves every thread of the process: the system may give the signal to
// any thread that does not block it, such as one a library started before main.
std::atomic<int> wakeWriter{-1};
int wakeReader = -1;
std::array<struct sigaction, kStopSignals.size()> previousActions{};
struct sigaction previousPipeAction {};

extern "C" void noteStopSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // Non-blocking: a full pipe holds a stop request already.
    [[maybe_unused]] const ssize_t written = ::write(wakeWriter.load(), &byte, 1);
    errno = savedErrno;
}

void drain(int fd) {
    char bytes[64];
    while (::read(fd, bytes, sizeof bytes) > 0) {
    }
}

}  // namespace

StopSignals::StopSignals() {
    int ends[2] = {-1, -1};
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeReader = ends[0];
        wakeWriter.store(ends[1]);
    }
    struct sigaction action {};
    action.sa_handler = noteStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
        sigaction(kStopSignals[i], &action, &previousActions[i]);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipeAction);
}

StopSignals::~StopSignals() {
    for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
        sigaction(kStopSignals[i], &previousActions[i], nullptr);
    }
    sigaction(SIGPIPE, &previousPipeAction, nullptr);
    const int writer = wakeWriter.exchange(-1);
    if (writer >= 0) {
        ::close(writer);
    }
    if (wakeReader >= 0) {
        ::close(wakeReader);
        wakeReader = -1;
    }
}

bool StopSignals::wait(std::uint32_t milliseconds) {
    if (requested_) {
        return true;
    }
    pollfd wake{wakeReader, POLLIN, 0};
    const auto timeout = static_cast<int>(std::min<std::uint32_t>(milliseconds, INT_MAX));
    int ready = poll(&wake, 1, timeout);
    if (ready < 0 && errno == EINTR) {
        ready = poll(&wake, 1, 0);  // the interrupting signal may have been a stop
    }
    if (ready > 0 && (wake.revents & POLLIN) != 0) {
        drain(wakeReader);
        requested_ = true;
    }
    return requested_;
}

}  // namespace velvix::platform
