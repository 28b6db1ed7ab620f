#include "web_view.hpp"
#include "webview2_loader.hpp"

namespace velvix {

// This build was made without the WebView2 SDK, whose interfaces the view needs.
Result<std::unique_ptr<EmbeddedWebView>> startWebView(WebViewSetup) {
    const Result<FARPROC> loader = loadWebView2();
    return Failure{!loader ? loader.error()
                           : "this build has no WebView2 support (it was built without the SDK)"};
}

}  // namespace velvix
