#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "velvix/pipeline/capture_source.hpp"
#include "velvix/pipeline/control_block.hpp"
#include "velvix/pipeline/frame_pacer.hpp"
#include "velvix/pipeline/frame_processor.hpp"
#include "velvix/pipeline/frame_ring.hpp"
#include "velvix/pipeline/processing_steps.hpp"

namespace velvix {

// Requests the worker places on a camera before opening it.
inline constexpr int kCameraFramePeriod = static_cast<int>(kFramePeriod);
inline constexpr int kReconnectThreshold = 90;
// A camera that failed to open is tried again after this many ticks.
inline constexpr int kRetryTicks = 60;
// Pause before each attempt to re-create the ring at a new size.
inline constexpr std::uint32_t kResizeRetryMilliseconds = 30;
// After this many ticks without a new frame (about a second) the camera counts as lost and the
// ring says that it holds no frame, so that readers show their placeholder instead of a frozen
// picture as if it were live.
inline constexpr int kNoFrameTicks = 30;

// What the panel says about the camera.
enum class CameraState {
    none,      // no camera chosen, or "no camera"
    starting,  // chosen, no frame yet
    working,   // frames arrive
    lost,      // no new frame for kNoFrameTicks; opening is retried
};

// How the worker kept time, for the end of a run. Times in units of 100 ns.
struct FrameStatistics {
    std::uint64_t published = 0;
    std::uint64_t firstPublished = 0;  // clock time of the first and the last publish
    std::uint64_t lastPublished = 0;
    // The longest time from the start of a frame's fetch to the end of its publish.
    std::uint64_t worstFetchToPublish = 0;

    // Frames per second between the first and the last publish; 0 before the second.
    double framesPerSecond() const;
};

struct FrameWorkerParts {
    ControlBlock& control;
    CaptureSource& capture;
    ProcessingSteps steps;
    PacerClock& clock;
    std::string ringName = kRingName;
};

// The capture, process and publish loop of the worker thread: 30 ticks per second, each
// taking over changed settings, opening or closing the chosen camera, fetching its newest
// frame, processing it and publishing it into the frame ring.
class FrameWorker {
  public:
    explicit FrameWorker(FrameWorkerParts parts);

    // Runs until a stop is requested; then releases the camera and unmaps the ring.
    void run(std::stop_token stop);

    // The pieces of run(), for callers that drive the loop themselves.
    void startUp();
    void tick(const std::stop_token& stop);
    void shutDown();

    FrameSize frameSize() const { return frameSize_; }
    const FrameRing* ring() const { return ring_ ? &*ring_ : nullptr; }
    bool cameraReady() const { return cameraReady_; }
    // From any thread.
    CameraState cameraState() const { return cameraState_.load(std::memory_order_relaxed); }
    int retryTicks() const { return retryTicks_; }
    const FramePacer& pacer() const { return pacer_; }
    const FrameStatistics& statistics() const { return statistics_; }

  private:
    enum class PublishOutcome { done, resized };
    // A camera chosen anew is asked for the worker's frame period; a retried open keeps what
    // it was asked before.
    enum class FramePeriod { ask, keep };

    void noticeLostCamera();
    void retryOpening(int wantedCamera);
    void changeCamera(int wantedCamera);
    bool openCamera(int device, FramePeriod period);
    bool fetchNewFrame();
    void countMissingFrame();
    void updateCameraState();
    PublishOutcome publish(const std::stop_token& stop);
    void countPublished(std::uint64_t fetchStart);
    std::optional<RingError> createRing(FrameSize size);
    std::optional<RingError> recreateRing();
    void resizeRing(FrameSize requested, const std::stop_token& stop);
    void adoptFrameSize(FrameSize size);

    ControlBlock& control_;
    CaptureSource& capture_;
    ProcessingSteps steps_;
    PacerClock& clock_;
    std::string ringName_;
    FramePacer pacer_;
    platform::DebugOnce debug_;
    FrameSize frameSize_ = kDefaultFrameSize;
    std::unique_ptr<FrameBuffers> buffers_;
    // What the face step found; its last accepted fit outlives ticks without a face.
    FaceOutputs face_;
    FaceRegionFade fade_;
    std::optional<FrameRing> ring_;
    // A frame size a reader asked for that no ring has been made at yet.
    std::optional<FrameSize> pendingSize_;
    bool cameraReady_ = false;
    int retryTicks_ = 0;
    bool hadFrame_ = false;  // since the camera was chosen
    int ticksWithoutFrame_ = 0;
    std::atomic<CameraState> cameraState_{CameraState::none};
    FrameStatistics statistics_;
};

}  // namespace velvix
