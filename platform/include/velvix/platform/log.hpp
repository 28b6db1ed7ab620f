#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velvix::platform {

// What a line is about; each category has its own threshold.
enum class LogCategory : std::uint8_t { app, capture, face, filters, pipeline, ring, vcam, web };
inline constexpr std::size_t kLogCategoryCount = 8;

// A notice is a state line people and scripts wait for (ready, stopped, the camera's format,
// the models in use): shown by default with warnings and errors.
enum class LogSeverity : std::uint8_t { debug, info, notice, warn, error };

// The lowest severity shown, per category.
struct LogFilter {
    std::array<LogSeverity, kLogCategoryCount> lowest;

    static LogFilter fromNotices() { return allFrom(LogSeverity::notice); }
    static LogFilter allFrom(LogSeverity lowest);
};

struct ParsedLogFilter {
    LogFilter filter;
    std::vector<std::string> problems;  // one line for each item that was not understood
};

// Applies "face:debug,capture:warn,*:info"-style items to `start`, left to right; "*" names
// every category. An item that is not understood changes nothing and is reported.
ParsedLogFilter parseLogFilter(std::string_view items, LogFilter start);

// The filter from now on: VELVIX_LOG applied to the default, or with `verbose` to everything
// from debug up. Without a call, the first line logged applies VELVIX_LOG to the default.
void configureLogging(bool verbose);

// Writes `line` with debugOutput() when the filter shows it.
void logLine(LogCategory category, LogSeverity severity, std::string_view line);

// For the classes that take their diagnostics as a function of a line.
std::function<void(std::string_view)> logLines(LogCategory category, LogSeverity severity);

// Logs each distinct line once: for code that retries on every frame, so that a problem that
// lasts is said once rather than thirty times a second. At most kDistinctLines lines are
// remembered; past them one more line says that the rest are held back.
class DebugOnce {
  public:
    static constexpr std::size_t kDistinctLines = 64;

    void say(LogCategory category, LogSeverity severity, std::string_view line);

  private:
    std::array<std::size_t, kDistinctLines> said_{};
    std::size_t count_ = 0;
};

}  // namespace velvix::platform
