#include "velvix/face/face_tracker.hpp"

#include <cmath>
#include <cstring>
#include <opencv2/core/utility.hpp>
#include <utility>

namespace velvix {

DetectionThread::DetectionThread(std::unique_ptr<FaceDetector> detector, int grid)
    : detector_(std::move(detector)),
      name_(detector_->name()),
      grid_(grid),
      resultBuffer_(kDetectionBufferBytes),
      thread_([this] { serve(); }) {
    // Detections run on this thread beside the frame worker, on machines of a few cores.
    // OpenCV's helper threads would only compete with the worker and spin between jobs: on
    // this thread alone the full-range network costs 18.6 ms of processor time instead of
    // 24.2 ms, and still ends well within the next frame. The setting is the process's;
    // nothing else here runs OpenCV.
    cv::setNumThreads(1);
}

DetectionThread::~DetectionThread() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

bool DetectionThread::start(const std::uint8_t* small, FrameSize smallSize, FrameSize frameSize) {
    {
        const std::lock_guard lock(mutex_);
        if (running_) {
            return false;
        }
        const std::size_t bytes = static_cast<std::size_t>(smallSize.pixels()) * 3;
        if (picture_.size() < bytes) {
            picture_.resize(bytes);  // only for a larger frame size than any before
        }
        std::memcpy(picture_.data(), small, bytes);
        smallSize_ = smallSize;
        frameSize_ = frameSize;
        result_.reset();
        running_ = true;
    }
    changed_.notify_all();
    return true;
}

std::optional<FaceRectangle> DetectionThread::finished() {
    const std::lock_guard lock(mutex_);
    return std::exchange(result_, std::nullopt);
}

void DetectionThread::waitUntilIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !running_; });
}

void DetectionThread::serve() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return running_ || stopping_; });
        if (stopping_) {
            return;
        }
        // The picture and sizes are not touched by start() while a detection runs.
        lock.unlock();
        const int* detections =
            detector_->detect(resultBuffer_.data(),
                              packedPicture<const std::uint8_t>(picture_.data(), smallSize_, 3));
        const FaceRectangle rectangle =
            chooseFaceRectangle(detections, detector_->recordShorts(), frameSize_, grid_);
        lock.lock();
        result_ = rectangle;
        running_ = false;
        changed_.notify_all();
    }
}

FaceTracker::FaceTracker(DetectionService& detection, FaceFitter& fitter, TrackingSchedule schedule)
    : detection_(detection), fitter_(fitter), schedule_(schedule) {}

TrackedFace FaceTracker::next() {
    ++framesSinceDetection_;
    takeFinishedDetection();
    const bool fromDetection = detectedBox_.has_value();
    if (!fromDetection && !tracking_) {
        return {};
    }
    const FaceBox box = fromDetection ? *std::exchange(detectedBox_, std::nullopt) : box_;
    const auto landmarks = fitter_.fit(box, !fromDetection);
    if (!landmarks) {
        lose();
        return {};
    }
    if (fromDetection || std::exchange(refreshReference_, false)) {
        fitter_.remember(*landmarks);
    }
    tracking_ = true;
    const FaceBox around = fitter_.boxAround(*landmarks);
    if (fromDetection || !closeToBox(around)) {
        box_ = around;
    }
    return {true, box, *landmarks};
}

bool FaceTracker::detectionWanted() const {
    if (detectionRunning_) {
        return false;
    }
    if (detectNow_) {
        return true;
    }
    return framesSinceDetection_ >= (tracking_ ? schedule_.redetectFrames : schedule_.searchFrames);
}

void FaceTracker::startDetection(const std::uint8_t* small, FrameSize smallSize,
                                 FrameSize frameSize) {
    if (detection_.start(small, smallSize, frameSize)) {
        detectionRunning_ = true;
        detectNow_ = false;
        framesSinceDetection_ = 0;
    }
}

// A detection that finds the followed face leaves the tracking as it is (its box would only
// move the landmarks), but the fit of this frame becomes the face to compare with.
void FaceTracker::takeFinishedDetection() {
    const auto rectangle = detection_.finished();
    if (!rectangle) {
        return;
    }
    detectionRunning_ = false;
    if (!acceptableFaceRectangle(*rectangle)) {
        if (tracking_ && ++detectionMisses_ < 2) {
            detectNow_ = true;  // ask again before giving the face up
        } else if (tracking_) {
            lose();
        }
        return;
    }
    detectionMisses_ = 0;
    const FaceBox found = FaceBox::fromRectangle(
        static_cast<float>(rectangle->x), static_cast<float>(rectangle->y),
        static_cast<float>(rectangle->width), static_cast<float>(rectangle->height));
    const bool sameFace = tracking_ && std::abs(found.centreX - box_.centreX) < box_.scaleX &&
                          std::abs(found.centreY - box_.centreY) < box_.scaleY;
    if (sameFace) {
        refreshReference_ = true;
    } else {
        detectedBox_ = found;
    }
}

void FaceTracker::lose() {
    tracking_ = false;
    detectionMisses_ = 0;
    detectNow_ = true;
}

bool FaceTracker::closeToBox(const FaceBox& box) const {
    const float tolerance = schedule_.boxTolerance;
    return std::abs(box.centreX - box_.centreX) <= tolerance * box_.width &&
           std::abs(box.centreY - box_.centreY) <= tolerance * box_.height &&
           std::abs(box.width - box_.width) <= tolerance * box_.width &&
           std::abs(box.height - box_.height) <= tolerance * box_.height;
}

}  // namespace velvix
