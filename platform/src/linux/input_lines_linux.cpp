#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "velvix/platform/clock.hpp"
#include "velvix/platform/input_lines.hpp"

namespace velvix::platform {

struct InputLines::State {
    std::string pending;
    bool ended = false;
};

InputLines::InputLines() : state_(std::make_shared<State>()) {}

InputLines::~InputLines() = default;

InputLines::Status InputLines::next(std::string& line, std::uint32_t milliseconds) {
    State& state = *state_;
    const std::uint64_t deadline = clockNow100ns() + std::uint64_t{milliseconds} * 10'000;
    while (!takeLine(state.pending, state.ended, line)) {
        if (state.ended) {
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
            if (errno == EINTR) {
                continue;
            }
            state.ended = true;
            continue;
        }
        char buffer[4096];
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got > 0) {
            state.pending.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            state.ended = true;
        }
    }
    return Status::line;
}

}  // namespace velvix::platform
