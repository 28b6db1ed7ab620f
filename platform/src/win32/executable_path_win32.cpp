#include <windows.h>

#include <array>

#include "velvix/platform/executable_path.hpp"

namespace velvix::platform {

std::string executableDirectory() {
    std::array<wchar_t, 32768> path{};
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
        return {};
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(length),
                                          nullptr, 0, nullptr, nullptr);
    std::string program(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(length), program.data(), bytes,
                        nullptr, nullptr);
    const auto slash = program.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : program.substr(0, slash);
}

}  // namespace velvix::platform
