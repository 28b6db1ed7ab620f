#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "page_origin.hpp"
#include "velvix/base/result.hpp"
#include "web_messages.hpp"

namespace velvix {

// What the embedded web view reports to its window, on the window's thread.
struct WebViewEvents {
    // A text a page posted with window.chrome.webview.postMessage, and the address of the page.
    std::function<void(const std::u16string& message, const std::string& source)> messageReceived;
    // A navigation that completed successfully; the page setup script has been run in it.
    std::function<void()> navigationCompleted;
    // The view cannot be shown, for a person to read.
    std::function<void(const std::string& reason)> failed;
    // An address of another web site the user asked for, for the user's own browser.
    std::function<void(const std::string& url)> openInBrowser;
};

// The view stays on the service's origin (`origins`): navigations of the main frame and of
// sub-frames elsewhere are refused, except links the user follows to other web sites, which open
// in the user's browser. No page opens a window of its own: a new window the user asked for with
// a link to another site opens in the browser, any other is refused. Messages are taken only from
// pages of the service, each cut at 64 KiB; the page setup script runs and messages are posted
// back only while the main frame shows a page of the service.
struct WebViewSetup {
    explicit WebViewSetup(PageOriginPolicy policy) : origins(std::move(policy)) {}

    PageOriginPolicy origins;
    HWND window = nullptr;
    std::string firstPage;
    // Runs at the creation of every document, before the page's own scripts.
    std::string documentScript;
    // Runs after every navigation that completed successfully.
    std::function<std::string()> pageSetupScript;
    // Where the view keeps cookies and its cache.
    std::string dataFolder;
    // Lines for the person who runs the program: navigations refused, messages dropped.
    DebugLines debug;
    WebViewEvents events;
};

// The web view that fills the window's client area (WebView2).
class EmbeddedWebView {
  public:
    virtual ~EmbeddedWebView() = default;
    virtual void resize(const RECT& bounds) = 0;
    virtual void navigate(const std::string& url) = 0;
    virtual void runScript(const std::string& script) = 0;
    virtual void postMessage(const std::u16string& text) = 0;
};

// Asks the WebView2 runtime for a view in the window; the view comes up later, through the
// runtime's completions on the window's thread, and opens the first page once the document
// script is in force. Fails, with the reason, when the runtime cannot even be asked (none is
// installed, or its library cannot be used); later failures arrive as events.failed.
Result<std::unique_ptr<EmbeddedWebView>> startWebView(WebViewSetup setup);

}  // namespace velvix
