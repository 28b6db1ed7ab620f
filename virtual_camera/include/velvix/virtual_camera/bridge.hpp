#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velvix/pipeline/frame_ring.hpp"
#include "velvix/virtual_camera/frame_output.hpp"

namespace velvix::virtual_camera {

// Where the bridge writes frames: a video output device, or a pipe or file in tests.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    // Writes one whole frame; false when the consumer has gone and the sink must be opened anew.
    virtual bool writeFrame(const std::uint8_t* data, std::size_t bytes) = 0;
};

struct BridgeSettings {
    std::string ringName = kRingName;
    FrameSize outputSize = kDefaultFrameSize;
    OutputFormat format = OutputFormat::yuyv;
    // Ask the program for frames of the output size instead of scaling them.
    bool requestOutputSize = false;
};

// The ring's frame size, or the default frame size where there is no usable ring: what a
// device is fed with unless another size is asked for.
FrameSize ringFrameSize(const std::string& ringName);

enum class BridgeFrame { newest, repeated, placeholder, notWritten };

// Feeds a video device from the frame ring, one frame per interval, so that the consuming
// program never stalls: it writes the newest complete frame, the last one again when nothing
// new has come, or a placeholder while there is no ring or no frame yet. It re-attaches when
// the ring stops moving (the program may have re-created it) and re-opens a sink whose
// consumer went away.
class VirtualCameraBridge {
  public:
    using SinkOpener = std::function<std::unique_ptr<FrameSink>()>;

    VirtualCameraBridge(BridgeSettings settings, SinkOpener openSink);

    // One interval's work at the given time (100 ns units).
    BridgeFrame step(std::uint64_t now);
    // The frame interval the ring announces, or 30 frames per second.
    std::uint64_t frameInterval() const;
    // Why the ring could not be opened the last time, when it exists but is not accessible
    // (it belongs to another user, say), or that the program did not take the size the bridge
    // asked for; empty otherwise.
    const std::string& ringProblem() const { return ringProblem_; }

  private:
    void reattach(std::uint64_t now);
    bool refreshFrame(std::uint64_t now);
    void noticeRefusedSize();
    bool write();

    BridgeSettings settings_;
    SinkOpener openSink_;
    FrameConverter converter_;
    std::unique_ptr<FrameSink> sink_;
    std::optional<FrameRingReader> reader_;
    RingFrame frame_;
    bool haveFrame_ = false;
    std::optional<std::uint32_t> lastFrameNumber_;
    std::uint64_t lastChange_ = 0;
    std::optional<std::uint64_t> lastAttach_;
    // The output size has been asked of the program.
    bool asked_ = false;
    std::string ringProblem_;
    std::vector<std::uint8_t> placeholder_;
    std::vector<std::uint8_t> output_;
};

}  // namespace velvix::virtual_camera
