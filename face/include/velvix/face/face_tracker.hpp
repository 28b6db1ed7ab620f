#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "velvix/base/picture.hpp"
#include "velvix/face/face_detector.hpp"
#include "velvix/face/face_rectangle.hpp"
#include "velvix/face/landmark_fitter.hpp"
#include "velvix/pipeline/face_outputs.hpp"

namespace velvix {

// Face detection away from the frame worker's thread: one detection at a time, on a copy of
// the quarter-size picture, its result collected on a later frame.
class DetectionService {
  public:
    virtual ~DetectionService() = default;
    // Starts detecting in a copy of `small` (3-byte pixels, rows of 3 x width bytes) of a frame
    // of `frameSize`; false, starting nothing, while a detection runs.
    virtual bool start(const std::uint8_t* small, FrameSize smallSize, FrameSize frameSize) = 0;
    // The face step's rectangles for the faces of the last started detection (widest first, at
    // most kMaxFaces), once, when it has finished: none when it found none.
    virtual std::optional<std::vector<FaceRectangle>> finished() = 0;
    virtual std::string detectorName() const = 0;
};

// A detector's work on a thread of its own, kept for the service's lifetime. The picture's
// copy is allocated once; a start copies and signals, nothing more.
class DetectionThread final : public DetectionService {
  public:
    DetectionThread(std::unique_ptr<FaceDetector> detector, int grid);
    ~DetectionThread() override;
    DetectionThread(const DetectionThread&) = delete;
    DetectionThread& operator=(const DetectionThread&) = delete;

    bool start(const std::uint8_t* small, FrameSize smallSize, FrameSize frameSize) override;
    std::optional<std::vector<FaceRectangle>> finished() override;
    std::string detectorName() const override { return name_; }
    // Waits for the running detection, if any; for callers that cannot go on without it.
    void waitUntilIdle();

  private:
    void serve();

    std::unique_ptr<FaceDetector> detector_;
    const std::string name_;
    const int grid_;
    std::vector<std::uint8_t> picture_;
    std::mutex mutex_;
    std::condition_variable changed_;
    FrameSize smallSize_;
    FrameSize frameSize_;
    bool running_ = false;
    bool stopping_ = false;
    std::optional<std::vector<FaceRectangle>> result_;
    std::thread thread_;
};

// Places the landmarks of a face in a box of the current frame and judges the result. It
// remembers one face per slot (0 to kMaxFaces - 1), one slot for each face followed.
class FaceFitter {
  public:
    virtual ~FaceFitter() = default;
    // The landmarks (absolute, in the turned frame) of the face in `box`. With `compare`,
    // nothing when what lies there does not look like the face remembered last in `slot`.
    virtual std::optional<FaceLandmarks> fit(int slot, const FaceBox& box, bool compare) = 0;
    // The face just fitted becomes the one later fits in `slot` are compared with.
    virtual void remember(int slot, const FaceLandmarks& landmarks) = 0;
    // The box the fit of `landmarks` most likely started from: where the next frame's fit starts.
    virtual FaceBox boxAround(const FaceLandmarks& landmarks) const = 0;
};

// How often the tracker detects.
struct TrackingSchedule {
    // While a face is followed, a detection every this many frames.
    int redetectFrames = 15;
    // Without a face, a detection every this many frames: a face that comes in is found within
    // a quarter of a second.
    int searchFrames = 8;
    // A box whose centre and size moved by less than this share of its size stays where it was,
    // so that a still face's landmarks do not wander with the noise of the picture.
    float boxTolerance = 0.02f;
};

// What the tracker found of one face on one frame.
struct TrackedFace {
    bool found = false;
    FaceBox box;              // the box of the fit
    FaceLandmarks landmarks;  // absolute, in the turned frame
};

// Per slot, the face followed there, if any.
using TrackedFaces = std::array<TrackedFace, kMaxFaces>;

// Follows up to kMaxFaces faces from frame to frame, each in a slot of its own. Once a
// detection has found a face, each frame's fit starts from the box around the previous frame's
// landmarks and is compared with the face as it was found; a face that no longer looks like
// itself is lost on that very frame. Detection runs in the background, on a schedule and at
// once when a face is lost, and its result serves the frame after it finished. A detection
// that finds a followed face changes nothing for it; a face it finds that no slot follows takes
// a free slot; a followed face that two detections in a row do not find is given up, and one
// that a fit finds where another slot's face is is dropped as a copy.
class FaceTracker {
  public:
    FaceTracker(DetectionService& detection, FaceFitter& fitter, TrackingSchedule schedule = {});

    // The faces in this frame, by slot.
    TrackedFaces next();
    // Whether a detection should start on this frame; the caller then makes the quarter-size
    // picture and starts it.
    bool detectionWanted() const;
    void startDetection(const std::uint8_t* small, FrameSize smallSize, FrameSize frameSize);

    // Whether any face is followed.
    bool tracking() const;

  private:
    // One followed face.
    struct Track {
        bool active = false;
        FaceBox box;
        std::optional<FaceBox> detectedBox;  // a new face's box, fitted on the next frame
        bool refreshReference = false;
        int detectionMisses = 0;
    };

    TrackedFace follow(int slot);
    void takeFinishedDetection();
    std::optional<int> slotFollowing(const FaceBox& found) const;
    std::optional<int> freeSlot() const;
    void dropCopies(TrackedFaces& faces);
    void lose(int slot);
    bool closeToBox(const Track& track, const FaceBox& box) const;

    DetectionService& detection_;
    FaceFitter& fitter_;
    TrackingSchedule schedule_;
    std::array<Track, kMaxFaces> tracks_{};
    bool detectionRunning_ = false;
    bool detectNow_ = true;
    int framesSinceDetection_ = 0;
};

}  // namespace velvix
