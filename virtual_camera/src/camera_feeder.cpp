#include "velvix/virtual_camera/camera_feeder.hpp"

#include <algorithm>
#include <chrono>

#include "velvix/platform/clock.hpp"

namespace velvix::virtual_camera {
namespace {

constexpr std::uint64_t kSecond = 10'000'000;
constexpr std::uint64_t kSearchEvery = kSecond;
// A device that has taken no frame for this long is given up; the search finds it again
// once it takes frames.
constexpr std::uint64_t kGiveUpAfter = kSecond;

}  // namespace

VirtualCameraFeeder::VirtualCameraFeeder(FeederSettings settings, OutputDevices& devices,
                                         DebugLines debug)
    : settings_(std::move(settings)), devices_(devices), debug_(std::move(debug)) {}

std::uint64_t VirtualCameraFeeder::frameInterval() const {
    return feeds_.empty() ? kFramePeriod : feeds_.begin()->second.bridge->frameInterval();
}

void VirtualCameraFeeder::searchSoon() {
    {
        const std::lock_guard lock(stateMutex_);
        searchSoon_ = true;
    }
    wake_.notify_all();
}

std::vector<LoopbackDevice> VirtualCameraFeeder::fedDevices() const {
    const std::lock_guard lock(stateMutex_);
    return fedState_;
}

std::string VirtualCameraFeeder::problem() const {
    const std::lock_guard lock(stateMutex_);
    return problemState_;
}

void VirtualCameraFeeder::step(std::uint64_t now) {
    bool soon = false;
    {
        const std::lock_guard lock(stateMutex_);
        std::swap(soon, searchSoon_);
    }
    if (soon || !lastSearch_ || now - *lastSearch_ >= kSearchEvery) {
        search(now);
    }
    std::vector<std::string> failed;
    for (auto& [path, feed] : feeds_) {
        if (feed.bridge->step(now) != BridgeFrame::notWritten) {
            feed.failingSince.reset();
        } else if (!feed.failingSince) {
            feed.failingSince = now;
        } else if (now - *feed.failingSince >= kGiveUpAfter) {
            failed.push_back(path);
        }
    }
    for (const std::string& path : failed) {
        stopFeeding(path, "it takes no frames");
    }
    if (!failed.empty()) {
        publishState();
    }
}

void VirtualCameraFeeder::run(std::stop_token stop) {
    std::uint64_t deadline = platform::clockNow100ns();
    while (!stop.stop_requested()) {
        step(platform::clockNow100ns());
        deadline += frameInterval();
        const std::uint64_t now = platform::clockNow100ns();
        if (now >= deadline) {
            deadline = now;
        }
        std::unique_lock lock(stateMutex_);
        wake_.wait_for(lock, stop, std::chrono::microseconds((deadline - now) / 10),
                       [this] { return searchSoon_; });
    }
}

bool VirtualCameraFeeder::mayFeed(const LoopbackDevice& device) const {
    if (settings_.device) {
        return device.path == *settings_.device;
    }
    return device.label.starts_with(kLabelPrefix);
}

void VirtualCameraFeeder::search(std::uint64_t now) {
    lastSearch_ = now;
    std::vector<LoopbackDevice> present = devices_.list();
    if (settings_.device &&
        std::none_of(present.begin(), present.end(),
                     [&](const LoopbackDevice& d) { return d.path == *settings_.device; })) {
        // A device named on the command line is tried even where the list does not show it,
        // so that the user hears why it cannot be fed.
        present.push_back({*settings_.device, *settings_.device});
    }
    std::vector<std::string> gone;
    for (const auto& fed : feeds_) {
        if (std::none_of(present.begin(), present.end(),
                         [&](const LoopbackDevice& d) { return d.path == fed.first; })) {
            gone.push_back(fed.first);
        }
    }
    for (const std::string& path : gone) {
        stopFeeding(path, "it went away");
    }
    for (const LoopbackDevice& device : present) {
        if (mayFeed(device) && !feeds_.contains(device.path)) {
            startFeeding(device);
        }
    }
    std::erase_if(problems_, [&](const auto& entry) {
        return std::none_of(present.begin(), present.end(),
                            [&](const LoopbackDevice& d) { return d.path == entry.first; });
    });
    publishState();
}

void VirtualCameraFeeder::startFeeding(const LoopbackDevice& device) {
    const FrameSize size = ringFrameSize(settings_.ringName);
    OpenedOutput opened = devices_.open(device.path, size, settings_.format);
    if (!opened) {
        setProblem(device.path, opened.error());
        return;
    }
    problems_.erase(device.path);
    auto firstSink = std::make_shared<std::unique_ptr<FrameSink>>(std::move(*opened));
    const std::string path = device.path;
    auto bridge = std::make_unique<VirtualCameraBridge>(
        BridgeSettings{settings_.ringName, size, settings_.format, false},
        [this, firstSink, path, size]() -> std::unique_ptr<FrameSink> {
            if (*firstSink) {
                return std::move(*firstSink);
            }
            return devices_.open(path, size, settings_.format).valueOr(nullptr);
        });
    debug_("velvix: feeding the virtual camera \"" + device.label + "\" (" + device.path +
           ") with " + std::to_string(size.width) + " x " + std::to_string(size.height));
    feeds_.emplace(device.path, Feed{device, std::move(bridge), std::nullopt});
}

void VirtualCameraFeeder::stopFeeding(const std::string& path, const std::string& why) {
    const auto found = feeds_.find(path);
    if (found == feeds_.end()) {
        return;
    }
    debug_("velvix: no longer feeding the virtual camera \"" + found->second.device.label + "\" (" +
           path + "): " + why);
    feeds_.erase(found);
}

void VirtualCameraFeeder::setProblem(const std::string& path, const std::string& problem) {
    auto& known = problems_[path];
    if (known != problem) {
        debug_("velvix: cannot feed the virtual camera: " + problem);
        known = problem;
    }
}

void VirtualCameraFeeder::publishState() {
    std::vector<LoopbackDevice> fed;
    for (const auto& [path, feed] : feeds_) {
        fed.push_back(feed.device);
    }
    std::string problem;
    for (const auto& [path, text] : problems_) {
        problem += (problem.empty() ? "" : "; ") + text;
    }
    const std::lock_guard lock(stateMutex_);
    fedState_ = std::move(fed);
    problemState_ = std::move(problem);
}

}  // namespace velvix::virtual_camera
