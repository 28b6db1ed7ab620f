#pragma once

#include <optional>
#include <string>
#include <vector>

#include "velvix/base/result.hpp"
#include "velvix/capture/file_camera.hpp"
#include "web_messages.hpp"

namespace velvix {

struct AppOptions {
    bool headless = false;
    std::optional<int> runSeconds;  // stop by itself after this long
    std::string ringName;
    bool help = false;
    // Test cameras: those of --file-camera in their order, then those of the environment.
    std::vector<FileCameraConfig> fileCameras;
    bool exitOnEof = false;
    // The user's names and camera names on the debug output too.
    bool verbose = false;
    // Where the pages come from; empty: the program serves its own on 127.0.0.1.
    std::string serviceOrigin;
    // Empty: the service's own terms-of-use page.
    std::string termsUrl;
    // Which virtual cameras the program feeds: the PipeWire camera and every loopback device
    // labelled "Velvix..." (auto), only the one or only the others, the loopback device at
    // this path, or none.
    enum class VirtualCamera { automatic, pipewire, v4l2, device, off };
    VirtualCamera virtualCamera = VirtualCamera::automatic;
    std::string virtualCameraDevice;

    bool feedsPipeWire() const {
        return virtualCamera == VirtualCamera::automatic ||
               virtualCamera == VirtualCamera::pipewire;
    }
    bool feedsLoopback() const {
        return virtualCamera != VirtualCamera::off && virtualCamera != VirtualCamera::pipewire;
    }
};

// `fileCameraVariable` is the value of VELVIX_FILE_CAMERA (paths separated by ':'), or null.
Result<AppOptions> parseAppOptions(const std::vector<std::string>& arguments,
                                   const char* fileCameraVariable = nullptr);

std::string appUsage();

// The name under which one panel per user and ring runs: `base` for the default ring, `base`
// and a digest of the ring's name for another one. A valid D-Bus name and Windows object name.
std::string panelInstanceName(std::string_view base, std::string_view ringName);

}  // namespace velvix
