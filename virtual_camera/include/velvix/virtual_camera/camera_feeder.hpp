#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "velvix/virtual_camera/bridge.hpp"
#include "velvix/virtual_camera/output_devices.hpp"

namespace velvix::virtual_camera {

struct FeederSettings {
    std::string ringName = kRingName;
    // Nothing: every loopback device whose label begins with "Velvix"; a path: that device
    // only, whatever its label.
    std::optional<std::string> device;
    OutputFormat format = OutputFormat::yuyv;
};

// Feeds loopback devices from the frame ring, each with its own bridge: it looks for devices
// once a second (or at once when asked), starts feeding each one it may feed, and stops
// feeding one that went away or takes no frames any more.
class VirtualCameraFeeder {
  public:
    using DebugLines = std::function<void(std::string_view)>;

    VirtualCameraFeeder(FeederSettings settings, OutputDevices& devices, DebugLines debug);

    // One frame interval's work at the given time (100 ns units): the search when it is due,
    // then one frame to every device fed.
    void step(std::uint64_t now);
    // The time between two steps: the ring's frame interval.
    std::uint64_t frameInterval() const;
    // Steps on the system clock until a stop is requested.
    void run(std::stop_token stop);
    // Makes the next step search at once (after a set-up, say). Any thread.
    void searchSoon();

    // Any thread: the devices fed now, and why a device that should be fed is not.
    std::vector<LoopbackDevice> fedDevices() const;
    std::string problem() const;

  private:
    struct Feed {
        LoopbackDevice device;
        std::unique_ptr<VirtualCameraBridge> bridge;
        std::optional<std::uint64_t> failingSince;
    };

    void search(std::uint64_t now);
    bool mayFeed(const LoopbackDevice& device) const;
    void startFeeding(const LoopbackDevice& device);
    void stopFeeding(const std::string& path, const std::string& why);
    void setProblem(const std::string& path, const std::string& problem);
    void publishState();

    FeederSettings settings_;
    OutputDevices& devices_;
    DebugLines debug_;
    std::map<std::string, Feed> feeds_;            // by path
    std::map<std::string, std::string> problems_;  // by path, for devices not fed
    std::optional<std::uint64_t> lastSearch_;

    mutable std::mutex stateMutex_;
    std::condition_variable_any wake_;
    std::vector<LoopbackDevice> fedState_;
    std::string problemState_;
    bool searchSoon_ = false;
};

}  // namespace velvix::virtual_camera
