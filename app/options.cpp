#include "options.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>

#include "velvix/pipeline/frame_ring.hpp"

namespace velvix {
namespace {

std::optional<int> positiveNumber(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || rest != end || value <= 0) {
        return std::nullopt;
    }
    return value;
}

Result<> addFileCamera(AppOptions& options, const std::string& text) {
    auto camera = parseFileCamera(text);
    if (!camera) {
        return Failure{camera.error()};
    }
    options.fileCameras.push_back(std::move(*camera));
    return {};
}

Result<> addFileCamerasFromVariable(AppOptions& options, const std::string& paths) {
    std::size_t start = 0;
    while (start <= paths.size()) {
        const std::size_t end = std::min(paths.find(':', start), paths.size());
        if (end > start) {
            if (auto added = addFileCamera(options, paths.substr(start, end - start)); !added) {
                return Failure{"VELVIX_FILE_CAMERA: " + added.error()};
            }
        }
        start = end + 1;
    }
    return {};
}

bool isWebAddress(const std::string& text) {
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (text.starts_with(scheme) && text.size() > scheme.size()) {
            return true;
        }
    }
    return false;
}

std::string withoutTrailingSlash(std::string origin) {
    while (origin.ends_with('/')) {
        origin.pop_back();
    }
    return origin;
}

}  // namespace

std::string panelInstanceName(std::string_view base, std::string_view ringName) {
    if (ringName == kRingName) {
        return std::string(base);
    }
    // FNV-1a: the name only has to differ between rings.
    std::uint64_t digest = 14695981039346656037ull;
    for (const char byte : ringName) {
        digest = (digest ^ static_cast<unsigned char>(byte)) * 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest));
    return std::string(base) + ".Ring_" + hex;
}

std::string appUsage() {
    return "usage: velvix [--headless] [--run-seconds N] [--ring NAME] [--file-camera PATH]...\n"
           "              [--exit-on-eof] [--service-origin URL] [--terms-url URL]\n"
           "              [--virtual-camera DEVICE|auto|pipewire|v4l2|off] [--verbose]\n"
           "  --headless          run without a window; web messages come on standard input\n"
           "  --run-seconds N     stop after N seconds (otherwise on Ctrl+C or SIGTERM)\n"
           "  --ring NAME         name of the shared-memory frame ring (default VelvixShm)\n"
           "  --file-camera PATH  offer a PNG, JPEG or YUV4MPEG2 file as a camera; append\n"
           "                      ?format=nv12 or mjpg (JPEG images back to back),\n"
           "                      &freeze-after=N or &fit=cover to change what it delivers\n"
           "                      (also VELVIX_FILE_CAMERA, paths separated by ':')\n"
           "  --exit-on-eof       stop when standard input ends\n"
           "  --service-origin URL  take the pages from there instead of serving them on\n"
           "                      127.0.0.1\n"
           "  --terms-url URL     the terms of use opened in the browser\n"
           "  --virtual-camera DEVICE|auto|pipewire|v4l2|off\n"
           "                      feed the PipeWire camera and every v4l2loopback device whose\n"
           "                      label begins with \"Velvix\" (auto, the default), only the\n"
           "                      PipeWire camera, only those devices, that device only, or none\n"
           "  --verbose           also write the user's name and camera names in the messages\n"
           "                      on standard error, and every category's debug lines\n"
           "                      (VELVIX_LOG chooses the categories and severities shown)\n";
}

Result<AppOptions> parseAppOptions(const std::vector<std::string>& arguments,
                                   const char* fileCameraVariable) {
    AppOptions options;
    options.ringName = kRingName;
    auto fail = [](std::string text) { return Failure{std::move(text)}; };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--headless") {
            options.headless = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--run-seconds") {
            const auto seconds = hasValue ? positiveNumber(arguments[++i]) : std::nullopt;
            if (!seconds) {
                return fail("--run-seconds needs a whole number of seconds above 0");
            }
            options.runSeconds = seconds;
        } else if (argument == "--ring") {
            if (!hasValue || arguments[i + 1].empty()) {
                return fail("--ring needs a name");
            }
            options.ringName = arguments[++i];
        } else if (argument == "--file-camera") {
            if (!hasValue) {
                return fail("--file-camera needs a path");
            }
            if (auto added = addFileCamera(options, arguments[++i]); !added) {
                return fail(added.error());
            }
        } else if (argument == "--service-origin" || argument == "--terms-url") {
            const std::string value = hasValue ? arguments[++i] : "";
            if (!isWebAddress(value)) {
                return fail(argument + " needs an http or https address");
            }
            if (argument == "--terms-url") {
                options.termsUrl = value;
            } else {
                options.serviceOrigin = withoutTrailingSlash(value);
            }
        } else if (argument == "--virtual-camera") {
            const std::string value = hasValue ? arguments[++i] : "";
            if (value.empty()) {
                return fail(
                    "--virtual-camera needs a device such as /dev/video10, auto, pipewire, v4l2 or "
                    "off");
            }
            using VirtualCamera = AppOptions::VirtualCamera;
            options.virtualCamera = value == "auto"       ? VirtualCamera::automatic
                                    : value == "pipewire" ? VirtualCamera::pipewire
                                    : value == "v4l2"     ? VirtualCamera::v4l2
                                    : value == "off"      ? VirtualCamera::off
                                                          : VirtualCamera::device;
            options.virtualCameraDevice =
                options.virtualCamera == VirtualCamera::device ? value : "";
        } else if (argument == "--verbose") {
            options.verbose = true;
        } else if (argument == "--exit-on-eof") {
            options.exitOnEof = true;
        } else {
            return fail("unknown option " + argument);
        }
    }
    if (fileCameraVariable != nullptr) {
        if (auto added = addFileCamerasFromVariable(options, fileCameraVariable); !added) {
            return fail(added.error());
        }
    }
    return options;
}

}  // namespace velvix
