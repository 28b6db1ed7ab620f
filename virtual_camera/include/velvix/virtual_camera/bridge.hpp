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

// The picture a virtual camera shows at each frame interval, in its output format: the newest
// complete frame of the ring, the last one again when nothing new has come, or a placeholder
// while there is no ring or no frame in it (before the first, once the program has stopped,
// while the ring is re-created at another size). It re-attaches when the ring stops moving
// (the program may have re-created it). Frames are converted straight out of the ring; one
// that the writer may have overwritten meanwhile is converted anew from the newest, so none
// is shown torn or older than one shown before.
class RingPicture {
  public:
    explicit RingPicture(BridgeSettings settings);

    // The picture at the given time (100 ns units) into `destination`, which holds
    // frameBytes(): newest, repeated or placeholder.
    BridgeFrame render(std::uint64_t now, std::uint8_t* destination);
    std::size_t frameBytes() const { return converter_.frameBytes(); }
    OutputFormat format() const { return settings_.format; }
    // The ring's number of the frame rendered last; nothing for the placeholder.
    std::optional<std::uint32_t> frameNumber() const { return shownFrame_; }
    // The frame interval the ring announces, or 30 frames per second.
    std::uint64_t frameInterval() const;
    // Why the ring could not be opened the last time, when it exists but is not accessible
    // (it belongs to another user, say), or that the program did not take the size asked for;
    // empty otherwise.
    const std::string& ringProblem() const { return ringProblem_; }

  private:
    void reattach(std::uint64_t now);
    bool convertNewest(std::uint8_t* destination);
    void noticeRefusedSize();

    BridgeSettings settings_;
    FrameConverter converter_;
    std::optional<FrameRingReader> reader_;
    std::optional<std::uint32_t> shownFrame_;
    std::uint64_t lastChange_ = 0;
    std::optional<std::uint64_t> lastAttach_;
    // The output size has been asked of the program.
    bool asked_ = false;
    std::string ringProblem_;
    std::vector<std::uint8_t> placeholder_;
};

// Feeds a video device from the frame ring, one frame per interval, so that the consuming
// program never stalls: it writes the ring's picture (see RingPicture) and re-opens a sink
// whose consumer went away.
class VirtualCameraBridge {
  public:
    using SinkOpener = std::function<std::unique_ptr<FrameSink>()>;

    VirtualCameraBridge(BridgeSettings settings, SinkOpener openSink);

    // One interval's work at the given time (100 ns units).
    BridgeFrame step(std::uint64_t now);
    std::uint64_t frameInterval() const { return picture_.frameInterval(); }
    const std::string& ringProblem() const { return picture_.ringProblem(); }

  private:
    bool write();

    RingPicture picture_;
    SinkOpener openSink_;
    std::unique_ptr<FrameSink> sink_;
    std::vector<std::uint8_t> output_;
};

}  // namespace velvix::virtual_camera
