#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velvix::platform {

// The lines a program without a window reads on its standard input, waited for with a time
// limit so that the reader can also watch for stop requests.
class InputLines {
  public:
    enum class Status { line, timeout, ended };

    InputLines();
    ~InputLines();
    InputLines(const InputLines&) = delete;
    InputLines& operator=(const InputLines&) = delete;

    // The next complete line without its line end (a last line without one counts once
    // input ends), waiting at most `milliseconds` for it.
    Status next(std::string& line, std::uint32_t milliseconds);

  private:
    struct State;
    std::shared_ptr<State> state_;
};

// Moves the first line of `pending` into `line`; once input has ended, a rest without a line
// end is a line too. False when no line is complete.
bool takeLine(std::string& pending, bool ended, std::string& line);

}  // namespace velvix::platform
