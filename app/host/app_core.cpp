#include "app_core.hpp"

#include "velvix/platform/log.hpp"

namespace velvix {

std::optional<std::string> servePages(const AppOptions& options, BundledService& service) {
    if (!options.serviceOrigin.empty()) {
        return options.serviceOrigin;
    }
    if (!service.start()) {
        platform::logLine(platform::LogCategory::app, platform::LogSeverity::error,
                          "velvix: could not serve the pages on 127.0.0.1");
        return std::nullopt;
    }
    return service.origin();
}

AppCore::AppCore(const AppOptions& options, const std::string& serviceOrigin)
    : frames(options),
      origin(serviceOrigin),
      addresses(ServiceAddresses::forOrigin(serviceOrigin, options.termsUrl)),
      listCameras([this] { return frames.cameraNames(); }),
      pageSetup(listCameras),
      panel_(frames.panel(options)) {}

WebMessageHandler& AppCore::handleMessagesOf(WebHost& host) {
    return handler_.emplace(frames.control, host, addresses, listCameras, pageLines(), panel_);
}

DebugLines AppCore::pageLines() {
    return platform::logLines(platform::LogCategory::web, platform::LogSeverity::notice);
}

void AppCore::sayStarted() const {
    platform::logLine(platform::LogCategory::app, platform::LogSeverity::notice,
                      "velvix: face detector: " + frames.detectorName());
}

}  // namespace velvix
