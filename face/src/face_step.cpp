#include "velvix/face/face_step.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "landmark_face_fitter.hpp"
#include "velvix/face/face_rectangle.hpp"
#include "velvix/face/landmark_fitter.hpp"
#include "velvix/filters/bilinear_scale.hpp"
#include "velvix/filters/smoothing.hpp"
#include "velvix/pipeline/pixels.hpp"
#include "velvix/platform/data_files.hpp"
#include "velvix/platform/log.hpp"

namespace velvix {
namespace {

void rotate180(const std::uint8_t* frame, std::uint8_t* turned, FrameSize size) {
    const auto width = static_cast<std::size_t>(size.width);
    const auto height = static_cast<std::size_t>(size.height);
    for (std::size_t row = 0; row < height; ++row) {
        const std::uint8_t* source = frame + (height - 1 - row) * width * 3;
        std::uint8_t* destination = turned + row * width * 3;
        for (std::size_t column = 0; column < width; ++column) {
            std::memcpy(destination + column * 3, source + (width - 1 - column) * 3, 3);
        }
    }
}

// The grey picture of the turned frame, converted only around the boxes that the fits of one
// frame read. A fit reads its points' neighbourhoods, the farthest about 1.3 half box sides
// from the box's centre (points near the box's edge plus the model's feature offsets): on the
// tracking benchmark a reach of 1.5 gives the same landmarks as the whole picture, 1.2 does not.
class TurnedGreyFrame final : public GreyFrame {
  public:
    TurnedGreyFrame(const std::uint8_t* frame, std::uint8_t* grey, FrameSize size)
        : frame_(frame),
          grey_(grey),
          size_(size),
          picture_(LiteMat::external(LiteMat::kUint8, size.height, size.width, grey)) {}

    const LiteMat& around(const FaceBox& box) override {
        const Region region = regionAround(box);
        if (!converted(region)) {
            convert(region);
        }
        return picture_;
    }

  private:
    struct Region {
        int left = 0;
        int top = 0;
        int right = 0;
        int bottom = 0;
    };
    static constexpr float kReach = 1.6f;  // in half box sides from the centre
    static constexpr std::size_t kRemembered = 4;

    Region regionAround(const FaceBox& box) const {
        const auto clampTo = [](float value, int limit) {
            return static_cast<int>(std::clamp(value, 0.0f, static_cast<float>(limit)));
        };
        const float reachX = std::abs(box.scaleX) * kReach + 1;
        const float reachY = std::abs(box.scaleY) * kReach + 1;
        return {clampTo(std::floor(box.centreX - reachX), size_.width),
                clampTo(std::floor(box.centreY - reachY), size_.height),
                clampTo(std::ceil(box.centreX + reachX), size_.width),
                clampTo(std::ceil(box.centreY + reachY), size_.height)};
    }

    bool converted(const Region& region) const {
        return std::any_of(done_.begin(), done_.begin() + static_cast<std::ptrdiff_t>(doneCount_),
                           [&](const Region& d) {
                               return d.left <= region.left && d.top <= region.top &&
                                      d.right >= region.right && d.bottom >= region.bottom;
                           });
    }

    // Turned pixel (x, y) is frame pixel (width - 1 - x, height - 1 - y).
    void convert(const Region& region) {
        const int width = size_.width;
        const int columns = region.right - region.left;
        for (int row = region.top; row < region.bottom && columns > 0; ++row) {
            const std::uint8_t* source =
                frame_ + (static_cast<std::size_t>(size_.height - 1 - row) * width +
                          static_cast<std::size_t>(width - region.right)) *
                             3;
            std::uint8_t* out = grey_ + static_cast<std::size_t>(row) * width + region.left;
            greyFromFrame({source, columns, 1, std::ptrdiff_t{width} * 3}, out,
                          GreyColumns::reversed);
        }
        done_[std::min(doneCount_, kRemembered - 1)] = region;
        doneCount_ = std::min(doneCount_ + 1, kRemembered);
    }

    const std::uint8_t* frame_;
    std::uint8_t* grey_;
    FrameSize size_;
    LiteMat picture_;
    std::array<Region, kRemembered> done_{};
    std::size_t doneCount_ = 0;
};

// Stores the rectangle; true, with faceValid, when the face step accepts it.
bool acceptRectangle(const FaceRectangle& rectangle, FaceOutputs& face) {
    face.faceX = rectangle.x;
    face.faceY = rectangle.y;
    face.faceWidth = rectangle.width;
    face.faceHeight = rectangle.height;
    face.faceValid = acceptableFaceRectangle(rectangle);
    return face.faceValid;
}

FaceLandmarks relativeToRectangle(const FaceLandmarks& landmarks, const FaceOutputs& face) {
    FaceLandmarks relative;
    for (std::size_t k = 0; k < landmarks.size(); ++k) {
        relative[k] = {landmarks[k].x - static_cast<float>(face.faceX),
                       landmarks[k].y - static_cast<float>(face.faceY)};
    }
    return relative;
}

std::string modelProblemLine(const std::string& path, const std::string& problem) {
    return "landmark model " + path + ": " + problem +
           "; faces are smoothed within an ellipse, without sparing eyes, brows, nostrils and "
           "mouth";
}

// The model is shipped apart from the programs, under terms of its own.
constexpr char kModelInstallHint[] =
    " (the model comes with the package velvix-landmarks, or with the Windows installer's "
    "component \"Landmark model\")";

}  // namespace

FaceProcessingStep::FaceProcessingStep(std::unique_ptr<FaceDetector> detector,
                                       std::string modelPath, FaceSearch search)
    : modelPath_(std::move(modelPath)) {
    if (search == FaceSearch::tracking) {
        detection_ = std::make_unique<DetectionThread>(std::move(detector), faceRectangleGrid());
    } else {
        detector_ = std::move(detector);
    }
}

FaceProcessingStep::~FaceProcessingStep() = default;

std::string FaceProcessingStep::detectorName() const {
    return detection_ ? detection_->detectorName() : detector_->name();
}

void FaceProcessingStep::loadModelOnce() {
    if (modelLoadAttempted_) {
        return;
    }
    modelLoadAttempted_ = true;
    const std::string path =
        modelPath_.empty() ? platform::findDataFile(kModelFileName) : modelPath_;
    std::FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        platform::logLine(
            platform::LogCategory::face, platform::LogSeverity::warn,

            path.empty()
                ? modelProblemLine(kModelFileName, platform::missingDataFileText(kModelFileName)) +
                      kModelInstallHint
                : modelProblemLine(path, "no such file"));
        return;
    }
    const auto loaded = loadLandmarkModel(file, model_, landmarkParams());
    std::fclose(file);
    if (!loaded) {
        platform::logLine(platform::LogCategory::face, platform::LogSeverity::warn,
                          modelProblemLine(path, loaded.error()));
    } else if (model_.landmarks != kLandmarkCount) {
        platform::logLine(
            platform::LogCategory::face, platform::LogSeverity::warn,

            modelProblemLine(path, "it places " + std::to_string(model_.landmarks) +
                                       " landmarks, not " + std::to_string(kLandmarkCount)));
        model_ = LandmarkModel{};
    } else {
        platform::logLine(
            platform::LogCategory::face, platform::LogSeverity::notice,
            "landmark model " + path + ": " + std::to_string(model_.stages) + " stages");
    }
}

void FaceProcessingStep::run(const FaceStepBuffers& buffers, FaceOutputs& face) {
    const FrameSize size = buffers.size;
    loadModelOnce();
    face.faceValid = false;
    face.faceX = face.faceY = face.faceWidth = face.faceHeight = 0;
    const FrameSize small{size.width / 4, size.height / 4};
    if (small.width < kMinimumResizeWidth || small.height < 2) {
        rotate180(buffers.frame, buffers.turned, size);
        return;  // too small to look for a face in
    }
    if (detection_ && model_.loaded()) {
        track(buffers, face);
    } else {
        searchEveryFrame(buffers, face);
    }
}

void FaceProcessingStep::makeSmallCopy(const FaceStepBuffers& buffers) {
    const FrameSize size = buffers.size;
    rotate180(buffers.frame, buffers.turned, size);
    resizeBilinear(packedPicture<const std::uint8_t>(buffers.turned, size, 3),
                   packedPicture(buffers.small, {size.width / 4, size.height / 4}, 3));
}

void FaceProcessingStep::waitForDetection() {
    if (detection_) {
        detection_->waitUntilIdle();
    }
}

// On the calling thread, or on the detection thread while this one waits for it.
FaceRectangle FaceProcessingStep::detectNow(const FaceStepBuffers& buffers) {
    const FrameSize size = buffers.size;
    const FrameSize small{size.width / 4, size.height / 4};
    if (detection_) {
        detection_->waitUntilIdle();
        detection_->finished();
        detection_->start(buffers.small, small, size);
        detection_->waitUntilIdle();
        return detection_->finished().value_or(FaceRectangle{});
    }
    const int* detections = detector_->detect(
        detectionResultBuffer(), packedPicture<const std::uint8_t>(buffers.small, small, 3));
    return chooseFaceRectangle(detections, detector_->recordShorts(), size, faceRectangleGrid());
}

void FaceProcessingStep::searchEveryFrame(const FaceStepBuffers& buffers, FaceOutputs& face) {
    const FrameSize size = buffers.size;
    makeSmallCopy(buffers);
    if (!acceptRectangle(detectNow(buffers), face)) {
        return;
    }
    greyFromFrame(packedPicture<const std::uint8_t>(buffers.turned, size, 3), buffers.grey);
    fitAcceptedFace(buffers, face);
}

void FaceProcessingStep::track(const FaceStepBuffers& buffers, FaceOutputs& face) {
    const FrameSize size = buffers.size;
    TurnedGreyFrame grey(buffers.frame, buffers.grey, size);
    if (!tracker_) {
        fitter_ = std::make_unique<LandmarkFaceFitter>(model_);
        tracker_ = std::make_unique<FaceTracker>(*detection_, *fitter_);
    }
    fitter_->setPicture(&grey);
    const TrackedFace tracked = tracker_->next();
    if (tracker_->detectionWanted()) {
        makeSmallCopy(buffers);
        tracker_->startDetection(buffers.small, {size.width / 4, size.height / 4}, size);
    }
    fitter_->setPicture(nullptr);
    if (!tracked.found) {
        return;
    }
    if (acceptRectangle(trackedFaceRectangle(tracked.box, size, faceRectangleGrid()), face)) {
        face.faceLandmarks = relativeToRectangle(tracked.landmarks, face);
    }
}

// Landmarks relative to the rectangle; without a model the rectangle is smoothed whole, so
// that no landmarks of an earlier rectangle are used with this one.
void FaceProcessingStep::fitAcceptedFace(const FaceStepBuffers& buffers, FaceOutputs& face) {
    if (!model_.loaded()) {
        face.faceLandmarks.reset();
        return;
    }
    const FrameSize size = buffers.size;
    const LiteMat grey = LiteMat::external(LiteMat::kUint8, size.height, size.width, buffers.grey);
    const FaceBox box = FaceBox::fromRectangle(
        static_cast<float>(face.faceX), static_cast<float>(face.faceY),
        static_cast<float>(face.faceWidth), static_cast<float>(face.faceHeight));
    face.faceLandmarks = relativeToRectangle(landmarksOf(fitLandmarks(grey, box, model_)), face);
}

}  // namespace velvix
