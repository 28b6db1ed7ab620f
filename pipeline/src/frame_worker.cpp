#include "velvix/pipeline/frame_worker.hpp"

#include <algorithm>

namespace velvix {
namespace {

bool isDeviceIndex(int index) {
    return index >= 0 && index < kMaxCaptureDevices;
}

}  // namespace

double FrameStatistics::framesPerSecond() const {
    if (published < 2 || lastPublished <= firstPublished) {
        return 0;
    }
    return static_cast<double>(published - 1) * 1e7 /
           static_cast<double>(lastPublished - firstPublished);
}

FrameWorker::FrameWorker(FrameWorkerParts parts)
    : control_(parts.control),
      capture_(parts.capture),
      steps_(parts.steps),
      clock_(parts.clock),
      ringName_(std::move(parts.ringName)),
      pacer_(parts.clock) {}

void FrameWorker::run(std::stop_token stop) {
    startUp();
    while (!stop.stop_requested()) {
        tick(stop);
    }
    shutDown();
}

void FrameWorker::startUp() {
    capture_.countDevices();
    buffers_ = std::make_unique<FrameBuffers>(frameSize_);
    ring_ = FrameRing::attach(ringName_, debug_);
    if (!ring_) {
        createRing(kDefaultFrameSize);
    }
    pacer_.start();
    cameraReady_ = false;
    retryTicks_ = 0;
}

void FrameWorker::tick(const std::stop_token& stop) {
    const int wantedCamera = control_.takeOverSettings();
    noticeLostCamera();
    retryOpening(wantedCamera);
    changeCamera(wantedCamera);
    const std::uint64_t fetchStart = clock_.now();
    if (fetchNewFrame()) {
        hadFrame_ = true;
        ticksWithoutFrame_ = 0;
        updateCameraState();
        processFrame(*buffers_, frameSize_, control_.applied, steps_, face_, fade_);
        if (publish(stop) == PublishOutcome::resized) {
            return;
        }
        countPublished(fetchStart);
    } else {
        countMissingFrame();
    }
    pacer_.waitForNextTick();
    if (!cameraReady_) {
        ++retryTicks_;
    }
}

void FrameWorker::countMissingFrame() {
    if (ticksWithoutFrame_ >= kNoFrameTicks) {
        return;
    }
    if (++ticksWithoutFrame_ == kNoFrameTicks && ring_ && ring_->sectionIntact()) {
        ring_->endPublishing();
    }
    updateCameraState();
}

void FrameWorker::updateCameraState() {
    CameraState state = CameraState::working;
    if (control_.applied.activeCamera < 0) {
        state = CameraState::none;
    } else if (ticksWithoutFrame_ >= kNoFrameTicks) {
        state = CameraState::lost;
    } else if (!hadFrame_) {
        state = CameraState::starting;
    }
    cameraState_.store(state, std::memory_order_relaxed);
}

void FrameWorker::countPublished(std::uint64_t fetchStart) {
    const std::uint64_t now = clock_.now();
    if (statistics_.published++ == 0) {
        statistics_.firstPublished = now;
    }
    statistics_.lastPublished = now;
    statistics_.worstFetchToPublish = std::max(statistics_.worstFetchToPublish, now - fetchStart);
}

void FrameWorker::shutDown() {
    const int active = control_.applied.activeCamera;
    if (isDeviceIndex(active)) {
        capture_.closeDevice(active);
    }
    cameraReady_ = false;
    if (ring_ && ring_->sectionIntact()) {
        ring_->endPublishing();
    }
    ring_.reset();
}

// A camera that stopped capturing by itself (unplugged, or a re-open after a freeze that
// failed) is tried again like one that failed to open, instead of being given up.
void FrameWorker::noticeLostCamera() {
    const int active = control_.applied.activeCamera;
    if (cameraReady_ && isDeviceIndex(active) && !capture_.isCapturing(active)) {
        cameraReady_ = false;
        retryTicks_ = 0;
    }
}

void FrameWorker::retryOpening(int wantedCamera) {
    const int active = control_.applied.activeCamera;
    if (wantedCamera != active || active < 0 || cameraReady_ || retryTicks_ != kRetryTicks) {
        return;
    }
    retryTicks_ = 0;
    cameraReady_ = isDeviceIndex(active) && !capture_.isCapturing(active) &&
                   openCamera(active, FramePeriod::keep);
}

void FrameWorker::changeCamera(int wantedCamera) {
    const int active = control_.applied.activeCamera;
    if (wantedCamera == active) {
        return;
    }
    cameraReady_ = false;
    retryTicks_ = 0;
    hadFrame_ = false;
    ticksWithoutFrame_ = 0;
    if (isDeviceIndex(active)) {
        capture_.closeDevice(active);
    }
    control_.applied.activeCamera = wantedCamera;
    updateCameraState();
    if (!isDeviceIndex(wantedCamera)) {
        return;
    }
    if (!capture_.isCapturing(wantedCamera)) {
        cameraReady_ = openCamera(wantedCamera, FramePeriod::ask);
    }
    capture_.setReconnect(wantedCamera, kReconnectThreshold);
}

bool FrameWorker::openCamera(int device, FramePeriod period) {
    if (period == FramePeriod::ask) {
        capture_.setFramePeriod(device, kCameraFramePeriod);
    }
    capture_.setAskSize(device, kDefaultFrameSize.width, kDefaultFrameSize.height,
                        MediaSubtype::rgb24);
    capture_.setConnector(device, ConnectorKind::composite);
    return capture_.openDevice(device);
}

bool FrameWorker::fetchNewFrame() {
    const int device = control_.applied.activeCamera;
    if (device < 0 || device >= capture_.deviceCount() || !capture_.isCapturing(device)) {
        return false;
    }
    return capture_.pollNewFrame(device) &&
           capture_.fetchFrame(device, buffers_->capture(), frameSize_);
}

FrameWorker::PublishOutcome FrameWorker::publish(const std::stop_token& stop) {
    if (!ring_) {
        recreateRing();
        return PublishOutcome::done;
    }
    const std::optional<FrameSize> requested = ring_->requestedSize();
    if (requested && *requested != frameSize_) {
        resizeRing(*requested, stop);
        return PublishOutcome::resized;
    }
    if (!requested || !ring_->publish(buffers_->output())) {
        debug_.say(
            platform::LogCategory::ring, platform::LogSeverity::warn,
            "frame ring \"" + ringName_ +
                "\": its section was truncated while in use; running without a ring until it "
                "can be made again");
        ring_.reset();
    }
    return PublishOutcome::done;
}

// The reader asked for another frame size by writing it into the header (or the ring this
// worker attached to has another size): re-create the ring at that size. A size the ring
// cannot carry, or one its section is too small for, is refused by re-creating the ring at
// the current size instead, which puts the current size back into the header for the reader to
// see. A ring that cannot be re-created for now keeps the request for the next attempt.
void FrameWorker::resizeRing(FrameSize requested, const std::stop_token& stop) {
    pendingSize_.reset();
    if (RingLayout::forSize(requested)) {
        pendingSize_ = requested;
    } else {
        debug_.say(platform::LogCategory::ring, platform::LogSeverity::warn,
                   "frame ring \"" + ringName_ + "\": refusing the requested size " +
                       std::to_string(requested.width) + " x " + std::to_string(requested.height));
    }
    ring_->detach();
    ring_.reset();
    while (!stop.stop_requested()) {
        clock_.sleep(kResizeRetryMilliseconds);
        if (stop.stop_requested()) {
            return;
        }
        const bool asked = pendingSize_.has_value();
        const std::optional<RingError> error = recreateRing();
        if (ring_ || error == RingError::sectionNotPrivate ||
            error == RingError::writtenElsewhere) {
            return;  // waiting does not help; the next processed frame tries again
        }
        if (error == RingError::sectionTooSmall && !asked) {
            return;  // no ring for now; the next processed frame tries again
        }
    }
}

// Makes the ring at the size asked for and not served yet, or else at the worker's frame size.
// A section too small for the size asked for refuses the request.
std::optional<RingError> FrameWorker::recreateRing() {
    const FrameSize target = pendingSize_.value_or(frameSize_);
    const std::optional<RingError> error = createRing(target);
    if (!error) {
        adoptFrameSize(target);
    }
    if (!error || error == RingError::sectionTooSmall) {
        pendingSize_.reset();
    }
    return error;
}

// Why the ring could not be created; nothing when it was.
std::optional<RingError> FrameWorker::createRing(FrameSize size) {
    auto created = FrameRing::create(ringName_, size, debug_);
    if (!created) {
        return created.reason();
    }
    ring_.emplace(std::move(*created));
    return std::nullopt;
}

void FrameWorker::adoptFrameSize(FrameSize size) {
    buffers_->reserve(size);
    frameSize_ = size;
}

}  // namespace velvix
