#include <windows.h>

#include <string>

#include "velvix/platform/debug_output.hpp"

namespace velvix::platform {

// To the debugger, and to standard error as well: a program started from a console or by a
// test has no debugger attached, and its diagnostics must still be seen.
void debugOutput(std::string_view line) {
    std::string text = printableLine(line);
    text += '\n';
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
    OutputDebugStringW(wide.c_str());

    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) {
        return;
    }
    // One write per line, so that lines from different threads never mix.
    const char* rest = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(error, rest, static_cast<DWORD>(left), &written, nullptr) || written == 0) {
            return;
        }
        rest += written;
        left -= written;
    }
}

}  // namespace velvix::platform
