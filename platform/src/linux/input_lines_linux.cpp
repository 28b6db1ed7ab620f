#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "velvix/platform/clock.hpp"
#include "velvix/platform/input_lines.hpp"

namespace velvix::platform {

struct InputLines::State {
    LineSplitter lines;
};

InputLines::InputLines() : state_(std::make_shared<State>()) {}

InputLines::~InputLines() = default;

InputLines::Status InputLines::next(std::string& line, std::uint32_t milliseconds) {
    LineSplitter& lines = state_->lines;
    const std::uint64_t deadline = clockNow100ns() + std::uint64_t{milliseconds} * 10'000;
    for (;;) {
        if (takeNextLine(lines, line)) {
            return Status::line;
        }
        if (lines.ended()) {
            return Status::ended;
        }
        const std::uint64_t now = clockNow100ns();
        const auto remaining = static_cast<int>(now < deadline ? (deadline - now) / 10'000 : 0);
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&input, 1, remaining);
        if (ready == 0) {
            return Status::timeout;
        }
        if (ready < 0) {
            if (errno != EINTR) {
                lines.end();
            }
            continue;
        }
        char buffer[65536];
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got > 0) {
            lines.append({buffer, static_cast<std::size_t>(got)});
        } else if (got == 0 || errno != EINTR) {
            lines.end();
        }
    }
}

}  // namespace velvix::platform
