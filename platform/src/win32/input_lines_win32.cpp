#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "velvix/platform/input_lines.hpp"

namespace velvix::platform {

// Standard input cannot be waited on with a time limit when it is a pipe, so a thread of its
// own reads it. The thread is left blocked in ReadFile when the program ends before its input
// does; it holds only the shared state.
struct InputLines::State {
    std::mutex mutex;
    std::condition_variable arrived;
    LineSplitter lines;
};

InputLines::InputLines() : state_(std::make_shared<State>()) {
    std::thread([state = state_] {
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            std::lock_guard guard(state->mutex);
            state->lines.append({buffer, got});
            state->arrived.notify_all();
        }
        std::lock_guard guard(state->mutex);
        state->lines.end();
        state->arrived.notify_all();
    }).detach();
}

InputLines::~InputLines() = default;

InputLines::Status InputLines::next(std::string& line, std::uint32_t milliseconds) {
    State& state = *state_;
    std::unique_lock guard(state.mutex);
    state.arrived.wait_for(guard, std::chrono::milliseconds(milliseconds),
                           [&] { return state.lines.ended() || state.lines.hasLine(); });
    if (takeNextLine(state.lines, line)) {
        return Status::line;
    }
    return state.lines.ended() ? Status::ended : Status::timeout;
}

}  // namespace velvix::platform
