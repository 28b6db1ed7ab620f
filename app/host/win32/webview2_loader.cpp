#include "webview2_loader.hpp"

namespace velvix {

WebView2Loader loadWebView2() {
    WebView2Loader loader;
    const HMODULE library = LoadLibraryW(L"WebView2Loader.dll");
    if (library == nullptr) {
        loader.problem =
            "WebView2Loader.dll could not be loaded (error " + std::to_string(GetLastError()) + ")";
        return loader;
    }
    loader.createEnvironment = GetProcAddress(library, "CreateCoreWebView2EnvironmentWithOptions");
    if (loader.createEnvironment == nullptr) {
        loader.problem = "WebView2Loader.dll has no CreateCoreWebView2EnvironmentWithOptions";
    }
    return loader;
}

}  // namespace velvix
