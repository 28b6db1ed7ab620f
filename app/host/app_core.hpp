#pragma once

#include <optional>
#include <string>

#include "frame_service.hpp"
#include "options.hpp"
#include "page_scripts.hpp"
#include "service/web_service.hpp"
#include "web_messages.hpp"

namespace velvix {

// The origin the window's pages come from: the options' own, or that of the bundled service,
// which starts here; none (and a line saying so) when it cannot start.
std::optional<std::string> servePages(const AppOptions& options, BundledService& service);

// What every host builds alike from the options: the frame service, the pages' addresses, the
// script each page gets as it loads and the handler of the page's messages. A host adds only
// its window, or without one its standard input and output.
class AppCore {
  public:
    AppCore(const AppOptions& options, const std::string& serviceOrigin);
    AppCore(const AppCore&) = delete;
    AppCore& operator=(const AppCore&) = delete;

    // The handler answers through the host, so it is made once the host is.
    WebMessageHandler& handleMessagesOf(WebHost& host);
    // A window hands the page's messages to the handler as they come.
    template <class Window>
    void handleMessagesOfWindow(Window& window) {
        WebMessageHandler& handler = handleMessagesOf(window);
        window.setMessageReceiver(
            [&handler](const std::u16string& message) { handler.handle(message); });
    }
    // Where the lines about the pages and their messages go.
    static DebugLines pageLines();
    // The first line of every host: which face detector runs.
    void sayStarted() const;

    FrameService frames;
    const std::string origin;
    const ServiceAddresses addresses;
    const CameraNameLister listCameras;
    PageSetupScript pageSetup;

  private:
    const PanelSources panel_;
    std::optional<WebMessageHandler> handler_;
};

}  // namespace velvix
