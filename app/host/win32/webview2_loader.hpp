#pragma once

#include <windows.h>

#include <string>

#include "velvix/base/result.hpp"
#include "webview2_interfaces.hpp"

namespace velvix {

// One version of the WebView2 runtime: its folder, and whether it was named by its path rather
// than found installed (the runtime is told which).
struct WebView2Runtime {
    std::wstring folder;
    bool named = false;
};

// The runtime the web view uses. The folder that WEBVIEW2_BROWSER_EXECUTABLE_FOLDER names, when
// that is set (a relative path starts at the program's folder). Otherwise the first runtime
// installed in the order: the WebView2 runtime, then Edge Beta, Dev and Canary (the reverse with
// WEBVIEW2_CHANNEL_SEARCH_KIND=1, or the older WEBVIEW2_RELEASE_CHANNEL_PREFERENCE=1; only the
// channels WEBVIEW2_RELEASE_CHANNELS lists, 0 to 3, when it is set), each looked for in the
// machine's registry before the user's. An install without its client library, or older than
// the first release that can show a web view, is passed over.
Result<WebView2Runtime> findWebView2Runtime();

// The folder for the runtime's cookies and cache: WEBVIEW2_USER_DATA_FOLDER when set, else
// `ownChoice`.
std::wstring webView2DataFolder(const std::wstring& ownChoice);

// The runtime's client library, loaded by its full path (it stays loaded for the life of the
// process), and its entry point.
Result<webview2::CreateEnvironmentFunction> loadWebView2(const WebView2Runtime& runtime);

// The client library's path in a runtime's folder, for this program's processor.
std::wstring webView2ClientLibrary(const std::wstring& runtimeFolder);

}  // namespace velvix
