#include <algorithm>
#include <filesystem>
#include <fstream>

#include "velvix/virtual_camera/linux_devices.hpp"

namespace velvix::virtual_camera {
namespace {

constexpr std::string_view kVideoPrefix = "video";

// The number of a "videoN" entry, or nothing for other names.
std::optional<long> videoNumber(const std::string& name) {
    if (!name.starts_with(kVideoPrefix) || name.size() == kVideoPrefix.size() ||
        name.size() > kVideoPrefix.size() + 6 ||
        !std::all_of(name.begin() + kVideoPrefix.size(), name.end(),
                     [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::stol(name.substr(kVideoPrefix.size()));
}

}  // namespace

V4l2OutputDevices::V4l2OutputDevices(std::string sysfsFolder, std::string deviceFolder)
    : sysfsFolder_(std::move(sysfsFolder)), deviceFolder_(std::move(deviceFolder)) {}

std::vector<LoopbackDevice> V4l2OutputDevices::list() {
    std::vector<std::pair<long, LoopbackDevice>> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(sysfsFolder_, error)) {
        const std::string name = entry.path().filename().string();
        const auto number = videoNumber(name);
        if (!number) {
            continue;
        }
        std::string label;
        std::getline(std::ifstream(entry.path() / "name"), label);
        found.push_back({*number, {deviceFolder_ + "/" + name, label}});
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<LoopbackDevice> devices;
    for (auto& [number, device] : found) {
        devices.push_back(std::move(device));
    }
    return devices;
}

OpenedOutput V4l2OutputDevices::open(const std::string& path, FrameSize size, OutputFormat format) {
    return openV4l2Output(path, size, format);
}

}  // namespace velvix::virtual_camera
