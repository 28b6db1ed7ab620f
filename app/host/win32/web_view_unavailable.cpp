#include "web_view.hpp"
#include "webview2_loader.hpp"

namespace velvix {

// This build was made without the WebView2 SDK, whose interfaces the view needs.
WebViewStart startWebView(WebViewSetup) {
    WebViewStart start;
    const WebView2Loader loader = loadWebView2();
    start.problem = !loader.problem.empty()
                        ? loader.problem
                        : "this build has no WebView2 support (it was built without the SDK)";
    return start;
}

}  // namespace velvix
