#pragma once

#include <functional>
#include <memory>
#include <string>

#include "page_origin.hpp"
#include "page_scripts.hpp"
#include "web_messages.hpp"

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _GFileMonitor GFileMonitor;

namespace velvix {

inline constexpr int kClientWidth = 330;
inline constexpr int kClientHeight = 390;
inline constexpr char kWindowTitle[] = "Velvix";

// Receives each text a page posts with window.chrome.webview.postMessage.
using MessageReceiver = std::function<void(const std::u16string&)>;

// The main window with its web view, on the GTK main loop's thread. The window is fixed at
// 330 x 390 client pixels; the view runs the document script in every document and the page
// setup script after every navigation that completed.
//
// The view stays on the service's origin (`origins`): navigations of the main frame and of
// sub-frames elsewhere are refused, except links the user follows to other web sites, which
// open in the user's browser. Messages are taken, the page setup script runs and messages are
// posted back only while the main frame shows a page of the service, and only messages of the
// main frame count.
class GtkWebViewHost final : public WebHost {
  public:
    GtkWebViewHost(PageSetupScript& pageSetup, PageOriginPolicy origins, DebugLines debug);
    ~GtkWebViewHost() override;
    GtkWebViewHost(const GtkWebViewHost&) = delete;
    GtkWebViewHost& operator=(const GtkWebViewHost&) = delete;

    // Shows the window, sets the view up and starts the first navigation. Cookies (the user's
    // name and camera) and the other site data are kept in `dataFolder`, which is made the
    // user's alone; the web cache in `cacheFolder`.
    void open(const std::string& firstPage, const std::string& dataFolder,
              const std::string& cacheFolder);
    void setMessageReceiver(MessageReceiver receiver) { receiver_ = std::move(receiver); }

    void postToPage(const std::u16string& text) override;
    void navigate(const std::string& url) override;
    void openInBrowser(const std::string& url) override;
    void quit() override;
    // Shows the window in front of the others.
    void bringToFront();

    // Makes the page's camera list again, after a short wait for the device to settle, whenever
    // a video device appears in or leaves `folder` (/dev).
    void watchDevices(const std::string& folder);

    // Runs a script in the current page, its result not collected.
    void runScript(const std::string& script);
    GtkWidget* window() const { return window_; }
    // How many navigations have completed and had the page setup script run.
    int completedNavigations() const { return completedNavigations_; }
    // True when the view could not be made or its web process ended; the window then says so.
    bool failed() const { return failed_; }

  private:
    struct Signals;
    friend struct Signals;

    void createWindow();
    bool createView(const std::string& dataFolder, const std::string& cacheFolder);
    bool allowNavigation(const std::string& uri, bool followedLink, bool newWindow);
    // True while the main frame shows a page of the service.
    bool showsServicePage() const;
    void showFailure(const std::string& reason);
    void navigationStarted(const std::string& uri);
    void navigationFailed(const std::string& uri);
    void navigationFinished();
    void receive(const std::u16string& message);
    void browserFailed(const std::string& url);
    void devicesChanged();
    void remakeCameraList();

    PageSetupScript& pageSetup_;
    PageOriginPolicy origins_;
    DebugLines debug_;
    // Carried by every message the top frame's bridge posts; other frames never see it.
    std::string messageKey_;
    MessageReceiver receiver_;
    GtkWidget* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
    bool loadFailed_ = false;
    std::string failedUri_;  // until the next navigation starts
    bool failed_ = false;
    int completedNavigations_ = 0;
    GFileMonitor* devices_ = nullptr;
    unsigned settleTimer_ = 0;
    // Lets a browser opener that failed find the host again, if it is still there.
    std::shared_ptr<GtkWebViewHost*> self_ = std::make_shared<GtkWebViewHost*>(this);
};

}  // namespace velvix
