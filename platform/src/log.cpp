#include "velvix/platform/log.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <optional>

#include "velvix/platform/debug_output.hpp"

namespace velvix::platform {
namespace {

constexpr char kVariable[] = "VELVIX_LOG";

constexpr std::array<std::string_view, kLogCategoryCount> kCategoryNames = {
    "app", "capture", "face", "filters", "pipeline", "ring", "vcam", "web"};
constexpr std::array<std::string_view, 5> kSeverityNames = {"debug", "info", "notice", "warn",
                                                            "error"};

template <std::size_t count>
std::string listed(const std::array<std::string_view, count>& names) {
    std::string text;
    for (const std::string_view name : names) {
        text += text.empty() ? "" : ", ";
        text += name;
    }
    return text;
}

template <std::size_t count>
std::optional<std::size_t> indexOf(const std::array<std::string_view, count>& names,
                                   std::string_view name) {
    for (std::size_t i = 0; i < count; ++i) {
        if (names[i] == name) {
            return i;
        }
    }
    return std::nullopt;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::optional<std::string> applyItem(std::string_view item, LogFilter& filter) {
    const std::string quoted = std::string(kVariable) + ": \"" + std::string(item) + "\"";
    const auto colon = item.find(':');
    if (colon == std::string_view::npos) {
        return quoted + " is not CATEGORY:SEVERITY; ignored";
    }
    const std::string_view category = trimmed(item.substr(0, colon));
    const auto severity = indexOf(kSeverityNames, trimmed(item.substr(colon + 1)));
    if (!severity) {
        return quoted + " names no severity (" + listed(kSeverityNames) + "); ignored";
    }
    const auto lowest = static_cast<LogSeverity>(*severity);
    if (category == "*") {
        filter.lowest.fill(lowest);
        return std::nullopt;
    }
    const auto index = indexOf(kCategoryNames, category);
    if (!index) {
        return quoted + " names no category (" + listed(kCategoryNames) + " or *); ignored";
    }
    filter.lowest[*index] = lowest;
    return std::nullopt;
}

// The filter in force, read by every thread that logs. The variable is read once, and what
// it gets wrong is said once, straight to the output: no filter is in force yet.
class ActiveFilter {
  public:
    ActiveFilter() {
        const char* items = std::getenv(kVariable);
        items_ = items == nullptr ? "" : items;
        const ParsedLogFilter parsed = parseLogFilter(items_, LogFilter::fromNotices());
        for (const std::string& problem : parsed.problems) {
            debugOutput(problem);
        }
        set(parsed.filter);
    }

    void startFrom(const LogFilter& start) { set(parseLogFilter(items_, start).filter); }

    bool shows(LogCategory category, LogSeverity severity) const {
        return severity >=
               lowest_[static_cast<std::size_t>(category)].load(std::memory_order_relaxed);
    }

  private:
    void set(const LogFilter& filter) {
        for (std::size_t i = 0; i < kLogCategoryCount; ++i) {
            lowest_[i].store(filter.lowest[i], std::memory_order_relaxed);
        }
    }

    std::string items_;
    std::array<std::atomic<LogSeverity>, kLogCategoryCount> lowest_;
};

ActiveFilter& activeFilter() {
    static ActiveFilter filter;
    return filter;
}

}  // namespace

LogFilter LogFilter::allFrom(LogSeverity lowest) {
    LogFilter filter;
    filter.lowest.fill(lowest);
    return filter;
}

ParsedLogFilter parseLogFilter(std::string_view items, LogFilter start) {
    ParsedLogFilter parsed{start, {}};
    while (!items.empty()) {
        const auto comma = items.find(',');
        const std::string_view item = trimmed(items.substr(0, comma));
        items = comma == std::string_view::npos ? std::string_view{} : items.substr(comma + 1);
        if (item.empty()) {
            continue;
        }
        if (auto problem = applyItem(item, parsed.filter)) {
            parsed.problems.push_back(std::move(*problem));
        }
    }
    return parsed;
}

void configureLogging(bool verbose) {
    activeFilter().startFrom(verbose ? LogFilter::allFrom(LogSeverity::debug)
                                     : LogFilter::fromNotices());
}

void logLine(LogCategory category, LogSeverity severity, std::string_view line) {
    if (activeFilter().shows(category, severity)) {
        debugOutput(line);
    }
}

std::function<void(std::string_view)> logLines(LogCategory category, LogSeverity severity) {
    return [category, severity](std::string_view line) { logLine(category, severity, line); };
}

void DebugOnce::say(LogCategory category, LogSeverity severity, std::string_view line) {
    const std::size_t hash = std::hash<std::string_view>{}(line);
    const auto end = said_.begin() + static_cast<std::ptrdiff_t>(count_);
    if (std::find(said_.begin(), end, hash) != end) {
        return;
    }
    if (count_ == kDistinctLines) {
        return;
    }
    said_[count_++] = hash;
    logLine(category, severity,
            count_ < kDistinctLines
                ? line
                : std::string(line) + " (further new lines from here on are not shown)");
}

}  // namespace velvix::platform
