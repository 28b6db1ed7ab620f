#include "webview2_loader.hpp"

#include <string>

namespace velvix {

Result<FARPROC> loadWebView2() {
    const HMODULE library = LoadLibraryW(L"WebView2Loader.dll");
    if (library == nullptr) {
        return Failure{"WebView2Loader.dll could not be loaded (error " +
                       std::to_string(GetLastError()) + ")"};
    }
    const FARPROC entry = GetProcAddress(library, "CreateCoreWebView2EnvironmentWithOptions");
    if (entry == nullptr) {
        return Failure{"WebView2Loader.dll has no CreateCoreWebView2EnvironmentWithOptions"};
    }
    return entry;
}

}  // namespace velvix
