#include <unistd.h>

#include <string>

#include "velvix/platform/debug_output.hpp"

namespace velvix::platform {

void debugOutput(std::string_view line) {
    std::string text = printableLine(line);
    text += '\n';
    // One write per line, so that lines from different threads never mix.
    const char* rest = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, rest, left);
        if (written <= 0) {
            return;
        }
        rest += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace velvix::platform
