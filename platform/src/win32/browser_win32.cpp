#include <shellapi.h>
#include <windows.h>

#include "velvix/platform/browser.hpp"

namespace velvix::platform {

bool openInBrowser(const std::string& url) {
    const auto result =
        ShellExecuteA(nullptr, nullptr, url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace velvix::platform
