#include "velvix/platform/input_lines.hpp"

namespace velvix::platform {

bool takeLine(std::string& pending, bool ended, std::string& line) {
    const auto end = pending.find('\n');
    if (end == std::string::npos && (!ended || pending.empty())) {
        return false;
    }
    const std::size_t length = end == std::string::npos ? pending.size() : end;
    line.assign(pending, 0, length);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    pending.erase(0, end == std::string::npos ? length : length + 1);
    return true;
}

}  // namespace velvix::platform
