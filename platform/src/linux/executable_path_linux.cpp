#include <unistd.h>

#include <array>

#include "velvix/platform/executable_path.hpp"

namespace velvix::platform {

std::string executableDirectory() {
    std::array<char, 4096> path{};
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) {
        return {};
    }
    const std::string program(path.data(), static_cast<std::size_t>(length));
    const auto slash = program.find_last_of('/');
    return slash == std::string::npos ? std::string() : program.substr(0, slash);
}

}  // namespace velvix::platform
