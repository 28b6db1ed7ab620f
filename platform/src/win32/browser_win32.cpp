#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <string>

#include "velvix/platform/browser.hpp"

namespace velvix::platform {

// ShellExecuteW says at once whether the address could be handed to a program.
bool openInBrowser(const std::string& url, std::function<void()> /*failedLater*/) {
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, url.data(), static_cast<int>(url.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, url.data(), static_cast<int>(url.size()), wide.data(), units);
    const auto result =
        ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace velvix::platform
