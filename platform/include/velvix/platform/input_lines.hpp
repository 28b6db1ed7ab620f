#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

namespace velvix::platform {

// No line of standard input is longer than this: a page's message never comes close.
inline constexpr std::size_t kMaxInputLineBytes = 64 * 1024;

// The lines a program without a window reads on its standard input, waited for with a time
// limit so that the reader can also watch for stop requests. A line longer than
// kMaxInputLineBytes is cut there and the rest of it dropped, with one line on the debug
// output.
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

// Splits bytes as they arrive into lines, looking at each byte once however long a line grows.
// Lines end with "\n" or "\r\n"; a line reaching `maxLineBytes` is cut there and the rest of it,
// up to its line end, dropped.
class LineSplitter {
  public:
    enum class Take { none, line, cutLine };

    explicit LineSplitter(std::size_t maxLineBytes = kMaxInputLineBytes)
        : maxLineBytes_(maxLineBytes) {}

    void append(std::string_view bytes);
    // Input has ended: an unfinished line is a line too.
    void end();
    bool ended() const { return ended_; }
    bool hasLine() const { return !complete_.empty(); }
    // Moves the oldest complete line into `line`; `cutLine` when it was cut at the limit.
    Take take(std::string& line);

  private:
    struct Line {
        std::string text;
        bool cut = false;
    };
    void finishLine(bool cut);

    std::size_t maxLineBytes_;
    std::string partial_;
    bool dropping_ = false;  // inside the rest of a line that was cut
    bool ended_ = false;
    std::deque<Line> complete_;
};

// Moves the next complete line of `lines` into `line`, saying on the debug output that a line
// was cut; false when no line is complete.
bool takeNextLine(LineSplitter& lines, std::string& line);

}  // namespace velvix::platform
