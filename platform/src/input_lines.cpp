#include "velvix/platform/input_lines.hpp"

#include <algorithm>
#include <cstring>

#include "velvix/platform/log.hpp"

namespace velvix::platform {

void LineSplitter::append(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto* end = static_cast<const char*>(std::memchr(bytes.data(), '\n', bytes.size()));
        const std::size_t length = end == nullptr ? bytes.size() : end - bytes.data();
        if (!dropping_) {
            const std::size_t room = maxLineBytes_ - partial_.size();
            partial_.append(bytes.data(), std::min(length, room));
            if (length > room) {
                finishLine(true);
                dropping_ = true;
            }
        }
        if (end == nullptr) {
            return;
        }
        if (dropping_) {
            dropping_ = false;
        } else {
            finishLine(false);
        }
        bytes.remove_prefix(length + 1);
    }
}

void LineSplitter::end() {
    if (!partial_.empty()) {
        finishLine(false);
    }
    ended_ = true;
}

void LineSplitter::finishLine(bool cut) {
    if (!cut && !partial_.empty() && partial_.back() == '\r') {
        partial_.pop_back();
    }
    complete_.push_back({std::move(partial_), cut});
    partial_.clear();
}

LineSplitter::Take LineSplitter::take(std::string& line) {
    if (complete_.empty()) {
        return Take::none;
    }
    line = std::move(complete_.front().text);
    const bool cut = complete_.front().cut;
    complete_.pop_front();
    return cut ? Take::cutLine : Take::line;
}

bool takeNextLine(LineSplitter& lines, std::string& line) {
    switch (lines.take(line)) {
        case LineSplitter::Take::line:
            return true;
        case LineSplitter::Take::cutLine:
            logLine(LogCategory::app, LogSeverity::warn,
                    "standard input: a line longer than " + std::to_string(kMaxInputLineBytes) +
                        " bytes was cut there and the rest of it dropped");
            return true;
        case LineSplitter::Take::none:
            break;
    }
    return false;
}

}  // namespace velvix::platform
