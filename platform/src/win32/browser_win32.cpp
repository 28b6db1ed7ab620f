#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <string>

#include "velvix/platform/browser.hpp"

namespace velvix::platform {

bool openInBrowser(const std::string& url) {
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, url.data(), static_cast<int>(url.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, url.data(), static_cast<int>(url.size()), wide.data(), units);
    const auto result =
        ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace velvix::platform
