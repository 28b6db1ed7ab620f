#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "velvix/pipeline/frame_ring.hpp"
#include "velvix/virtual_camera/served_camera.hpp"

// The virtual camera on Linux without a kernel module: a PipeWire video source.
namespace velvix::virtual_camera {

inline constexpr char kPipeWireCameraName[] = "Velvix Camera";

struct PipeWireCameraSettings {
    std::string ringName = kRingName;
};

// The camera "Velvix Camera" in the session's PipeWire graph, a node of media class
// Video/Source and role Camera, fed from the frame ring as the loopback devices are (see
// RingPicture). It offers YUY2, I420, BGRx and RGB at the ring's size and 30 frames per
// second, in buffers PipeWire allocates, and drives the graph it is in at that rate; it does
// no work while no program reads it. It runs on a thread of its own. Where no PipeWire daemon
// answers it says so once and tries again every few seconds; it also comes back after the
// daemon restarts.
class PipeWireCamera final : public ServedCamera {
  public:
    using DebugLines = std::function<void(std::string_view)>;

    PipeWireCamera(PipeWireCameraSettings settings, DebugLines debug);
    // Takes the camera out of the graph and stops the thread.
    ~PipeWireCamera() override;
    PipeWireCamera(const PipeWireCamera&) = delete;
    PipeWireCamera& operator=(const PipeWireCamera&) = delete;

    State state() const override;
    // Frames handed to PipeWire so far.
    std::uint64_t deliveredFrames() const;

  private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
};

}  // namespace velvix::virtual_camera
