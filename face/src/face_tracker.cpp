#include "velvix/face/face_tracker.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <opencv2/core/utility.hpp>
#include <utility>

namespace velvix {

DetectionThread::DetectionThread(std::unique_ptr<FaceDetector> detector, int grid)
    : detector_(std::move(detector)),
      name_(detector_->name()),
      grid_(grid),
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

std::optional<std::vector<FaceRectangle>> DetectionThread::finished() {
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
        std::vector<FaceRectangle> rectangles = chooseFaceRectangles(
            detector_->detect(packedPicture<const std::uint8_t>(picture_.data(), smallSize_, 3)),
            frameSize_, grid_);
        lock.lock();
        result_ = std::move(rectangles);
        running_ = false;
        changed_.notify_all();
    }
}

FaceTracker::FaceTracker(DetectionService& detection, FaceFitter& fitter, TrackingSchedule schedule)
    : detection_(detection), fitter_(fitter), schedule_(schedule) {}

TrackedFaces FaceTracker::next() {
    ++framesSinceDetection_;
    takeFinishedDetection();
    TrackedFaces faces{};
    for (int slot = 0; slot < kMaxFaces; ++slot) {
        faces[static_cast<std::size_t>(slot)] = follow(slot);
    }
    dropCopies(faces);
    return faces;
}

bool FaceTracker::tracking() const {
    return std::any_of(tracks_.begin(), tracks_.end(), [](const Track& t) { return t.active; });
}

TrackedFace FaceTracker::follow(int slot) {
    Track& track = tracks_[static_cast<std::size_t>(slot)];
    const bool fromDetection = track.detectedBox.has_value();
    if (!fromDetection && !track.active) {
        return {};
    }
    const FaceBox box = fromDetection ? *std::exchange(track.detectedBox, std::nullopt) : track.box;
    const auto landmarks = fitter_.fit(slot, box, !fromDetection);
    if (!landmarks) {
        lose(slot);
        return {};
    }
    if (fromDetection || std::exchange(track.refreshReference, false)) {
        fitter_.remember(slot, *landmarks);
    }
    track.active = true;
    const FaceBox around = fitter_.boxAround(*landmarks);
    if (fromDetection || !closeToBox(track, around)) {
        track.box = around;
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
    return framesSinceDetection_ >=
           (tracking() ? schedule_.redetectFrames : schedule_.searchFrames);
}

void FaceTracker::startDetection(const std::uint8_t* small, FrameSize smallSize,
                                 FrameSize frameSize) {
    if (detection_.start(small, smallSize, frameSize)) {
        detectionRunning_ = true;
        detectNow_ = false;
        framesSinceDetection_ = 0;
    }
}

// A detection that finds a followed face leaves its tracking as it is (its box would only move
// the landmarks), but the fit of this frame becomes the face to compare with. A followed face
// the detection missed is asked for again at once, and given up when the next one misses it
// too.
void FaceTracker::takeFinishedDetection() {
    const auto rectangles = detection_.finished();
    if (!rectangles) {
        return;
    }
    detectionRunning_ = false;
    std::array<bool, kMaxFaces> found{};
    for (const FaceRectangle& rectangle : *rectangles) {
        if (!acceptableFaceRectangle(rectangle)) {
            continue;
        }
        const FaceBox box = FaceBox::fromRectangle(
            static_cast<float>(rectangle.x), static_cast<float>(rectangle.y),
            static_cast<float>(rectangle.width), static_cast<float>(rectangle.height));
        if (const auto followed = slotFollowing(box)) {
            Track& track = tracks_[static_cast<std::size_t>(*followed)];
            track.refreshReference = true;
            track.detectionMisses = 0;
            found[static_cast<std::size_t>(*followed)] = true;
        } else if (const auto free = freeSlot()) {
            tracks_[static_cast<std::size_t>(*free)].detectedBox = box;
            found[static_cast<std::size_t>(*free)] = true;
        }
    }
    for (int slot = 0; slot < kMaxFaces; ++slot) {
        Track& track = tracks_[static_cast<std::size_t>(slot)];
        if (!track.active || found[static_cast<std::size_t>(slot)]) {
            continue;
        }
        if (++track.detectionMisses < 2) {
            detectNow_ = true;
        } else {
            lose(slot);
        }
    }
}

std::optional<int> FaceTracker::slotFollowing(const FaceBox& found) const {
    for (int slot = 0; slot < kMaxFaces; ++slot) {
        const Track& track = tracks_[static_cast<std::size_t>(slot)];
        if (track.active && std::abs(found.centreX - track.box.centreX) < track.box.scaleX &&
            std::abs(found.centreY - track.box.centreY) < track.box.scaleY) {
            return slot;
        }
    }
    return std::nullopt;
}

std::optional<int> FaceTracker::freeSlot() const {
    for (int slot = 0; slot < kMaxFaces; ++slot) {
        const Track& track = tracks_[static_cast<std::size_t>(slot)];
        if (!track.active && !track.detectedBox) {
            return slot;
        }
    }
    return std::nullopt;
}

// Two slots whose fits went to the same face: the slot that followed it first keeps it.
void FaceTracker::dropCopies(TrackedFaces& faces) {
    for (int later = 1; later < kMaxFaces; ++later) {
        TrackedFace& copy = faces[static_cast<std::size_t>(later)];
        for (int earlier = 0; earlier < later && copy.found; ++earlier) {
            const Track& kept = tracks_[static_cast<std::size_t>(earlier)];
            const FaceBox& box = tracks_[static_cast<std::size_t>(later)].box;
            if (faces[static_cast<std::size_t>(earlier)].found &&
                std::abs(box.centreX - kept.box.centreX) < kept.box.scaleX &&
                std::abs(box.centreY - kept.box.centreY) < kept.box.scaleY) {
                copy = {};
                tracks_[static_cast<std::size_t>(later)] = Track{};
            }
        }
    }
}

void FaceTracker::lose(int slot) {
    tracks_[static_cast<std::size_t>(slot)] = Track{};
    detectNow_ = true;
}

bool FaceTracker::closeToBox(const Track& track, const FaceBox& box) const {
    const float tolerance = schedule_.boxTolerance;
    const FaceBox& kept = track.box;
    return std::abs(box.centreX - kept.centreX) <= tolerance * kept.width &&
           std::abs(box.centreY - kept.centreY) <= tolerance * kept.height &&
           std::abs(box.width - kept.width) <= tolerance * kept.width &&
           std::abs(box.height - kept.height) <= tolerance * kept.height;
}

}  // namespace velvix
