#include <windows.h>

#include <string>

#include "velvix/platform/debug_output.hpp"

namespace velvix::platform {

void debugOutput(std::string_view line) {
    std::string text(line);
    text += '\n';
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
    OutputDebugStringW(wide.c_str());
}

}  // namespace velvix::platform
