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
    // Takes the areas the worker converted while packing the frame (greyReady) as done.
    explicit TurnedGreyFrame(const FaceStepBuffers& buffers)
        : frame_(buffers.frame),
          grey_(buffers.grey),
          size_(buffers.size),
          picture_(LiteMat::external(LiteMat::kUint8, size_.height, size_.width, grey_)) {
        const GreyAreas& ready = buffers.greyReady;
        for (int k = 0; k < ready.count && doneCount_ < kRemembered; ++k) {
            done_[doneCount_++] = turned(ready.areas[static_cast<std::size_t>(k)]);
        }
    }

    const LiteMat& around(const FaceBox& box) override {
        const Region region = regionAround(box);
        wantNextTime(region);
        if (!converted(region)) {
            convert(region);
        }
        return picture_;
    }

    // The regions read on this frame, in the frame's own pixels, overlapping ones (a face's fit
    // and its looks) merged.
    const GreyAreas& read() const { return read_; }

  private:
    using Region = GreyAreas::Area;        // here in the turned picture's pixels
    static constexpr float kReach = 1.6f;  // in half box sides from the centre
    // Each face's fit and its looks read a region of their own, beside those converted already.
    static constexpr std::size_t kRemembered = 4 * kMaxFaces;

    // A region of the turned picture in the frame's pixels, and back: the turn is its own
    // inverse.
    Region turned(const GreyAreas::Area& a) const {
        return {size_.width - a.right, size_.height - a.bottom, size_.width - a.left,
                size_.height - a.top};
    }
    GreyAreas::Area unturned(const Region& r) const {
        return {size_.width - r.right, size_.height - r.bottom, size_.width - r.left,
                size_.height - r.top};
    }

    void wantNextTime(const Region& region) {
        const GreyAreas::Area area = unturned(region);
        for (int k = 0; k < read_.count; ++k) {
            GreyAreas::Area& known = read_.areas[static_cast<std::size_t>(k)];
            if (area.left < known.right && known.left < area.right && area.top < known.bottom &&
                known.top < area.bottom) {
                known = {std::min(known.left, area.left), std::min(known.top, area.top),
                         std::max(known.right, area.right), std::max(known.bottom, area.bottom)};
                return;
            }
        }
        if (read_.count < static_cast<int>(read_.areas.size())) {
            read_.areas[static_cast<std::size_t>(read_.count++)] = area;
        }
    }

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

    static long long commonPixels(const Region& a, const Region& b) {
        const long long columns = std::min(a.right, b.right) - std::max(a.left, b.left);
        const long long rows = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
        return columns > 0 && rows > 0 ? columns * rows : 0;
    }

    // The converted region that has the most pixels in common with `region`, if any.
    const Region* mostOverlapping(const Region& region) const {
        const Region* best = nullptr;
        long long bestPixels = 0;
        for (std::size_t k = 0; k < doneCount_; ++k) {
            const long long pixels = commonPixels(done_[k], region);
            if (pixels > bestPixels) {
                best = &done_[k];
                bestPixels = pixels;
            }
        }
        return best;
    }

    // Only the part of the region outside the converted region it overlaps most: the box of a
    // face's looks, or of its fit on the next call, lies a few pixels from the box before.
    void convert(const Region& region) {
        if (const Region* done = mostOverlapping(region)) {
            const int top = std::max(region.top, done->top);
            const int bottom = std::min(region.bottom, done->bottom);
            convertRectangle({region.left, region.top, region.right, top});
            convertRectangle({region.left, bottom, region.right, region.bottom});
            convertRectangle({region.left, top, std::max(region.left, done->left), bottom});
            convertRectangle({std::min(region.right, done->right), top, region.right, bottom});
        } else {
            convertRectangle(region);
        }
        done_[std::min(doneCount_, kRemembered - 1)] = region;
        doneCount_ = std::min(doneCount_ + 1, kRemembered);
    }

    void convertRectangle(const Region& region) {
        const GreyAreas::Area area = unturned(region);
        turnedGrey(frame_, size_, area.left, area.top, area.right, area.bottom, grey_);
    }

    const std::uint8_t* frame_;
    std::uint8_t* grey_;
    FrameSize size_;
    LiteMat picture_;
    std::array<Region, kRemembered> done_{};
    std::size_t doneCount_ = 0;
    GreyAreas read_;
};

// A face the step may take: its rectangle and, when fitted, its landmarks in the turned frame.
struct FaceCandidate {
    FaceRectangle rectangle;
    std::optional<FaceLandmarks> landmarks;
};

std::optional<FaceLandmarks> relativeToRectangle(const std::optional<FaceLandmarks>& landmarks,
                                                 const FaceRectangle& rectangle) {
    if (!landmarks) {
        return std::nullopt;
    }
    FaceLandmarks relative;
    for (std::size_t k = 0; k < landmarks->size(); ++k) {
        relative[k] = {(*landmarks)[k].x - static_cast<float>(rectangle.x),
                       (*landmarks)[k].y - static_cast<float>(rectangle.y)};
    }
    return relative;
}

void storeRectangle(const FaceRectangle& rectangle, FaceOutputs& face) {
    face.faceX = rectangle.x;
    face.faceY = rectangle.y;
    face.faceWidth = rectangle.width;
    face.faceHeight = rectangle.height;
}

// Stores the accepted faces of `widestFirst`: the widest in the reported fields, with faceValid,
// the others beside it. When none is accepted, the reported rectangle is the widest candidate's
// and the last landmarks stay. Without a model an accepted face has no landmarks, so that none
// of an earlier face are used with it.
void storeFaces(const std::vector<FaceCandidate>& widestFirst, FaceOutputs& face) {
    for (const FaceCandidate& candidate : widestFirst) {
        if (!acceptableFaceRectangle(candidate.rectangle)) {
            continue;
        }
        const auto landmarks = relativeToRectangle(candidate.landmarks, candidate.rectangle);
        if (!face.faceValid) {
            face.faceValid = true;
            storeRectangle(candidate.rectangle, face);
            face.faceLandmarks = landmarks;
        } else if (face.otherFaceCount < kMaxFaces - 1) {
            const FaceRectangle& r = candidate.rectangle;
            face.otherFaces[static_cast<std::size_t>(face.otherFaceCount++)] = {
                r.x, r.y, r.width, r.height, landmarks};
        }
    }
    if (!face.faceValid && !widestFirst.empty()) {
        storeRectangle(widestFirst.front().rectangle, face);
    }
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

FaceBox boxOf(const FaceRectangle& r) {
    return FaceBox::fromRectangle(static_cast<float>(r.x), static_cast<float>(r.y),
                                  static_cast<float>(r.width), static_cast<float>(r.height));
}

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
    greyWanted_ = {};
    face.faceValid = false;
    face.faceX = face.faceY = face.faceWidth = face.faceHeight = 0;
    face.otherFaceCount = 0;
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
std::vector<FaceRectangle> FaceProcessingStep::detectNow(const FaceStepBuffers& buffers) {
    const FrameSize size = buffers.size;
    const FrameSize small{size.width / 4, size.height / 4};
    if (detection_) {
        detection_->waitUntilIdle();
        detection_->finished();
        detection_->start(buffers.small, small, size);
        detection_->waitUntilIdle();
        return detection_->finished().value_or(std::vector<FaceRectangle>{});
    }
    return chooseFaceRectangles(
        detector_->detect(packedPicture<const std::uint8_t>(buffers.small, small, 3)), size,
        faceRectangleGrid());
}

void FaceProcessingStep::searchEveryFrame(const FaceStepBuffers& buffers, FaceOutputs& face) {
    const FrameSize size = buffers.size;
    makeSmallCopy(buffers);
    std::vector<FaceCandidate> candidates;
    for (const FaceRectangle& rectangle : detectNow(buffers)) {
        candidates.push_back({rectangle, std::nullopt});
    }
    const auto accepted = [](const FaceCandidate& c) {
        return acceptableFaceRectangle(c.rectangle);
    };
    if (model_.loaded() && std::any_of(candidates.begin(), candidates.end(), accepted)) {
        greyFromFrame(packedPicture<const std::uint8_t>(buffers.turned, size, 3), buffers.grey);
        const LiteMat grey =
            LiteMat::external(LiteMat::kUint8, size.height, size.width, buffers.grey);
        for (FaceCandidate& candidate : candidates) {
            if (accepted(candidate)) {
                candidate.landmarks =
                    landmarksOf(fitLandmarks(grey, boxOf(candidate.rectangle), model_));
            }
        }
    }
    storeFaces(candidates, face);
}

void FaceProcessingStep::track(const FaceStepBuffers& buffers, FaceOutputs& face) {
    const FrameSize size = buffers.size;
    TurnedGreyFrame grey(buffers);
    if (!tracker_) {
        fitter_ = std::make_unique<LandmarkFaceFitter>(model_);
        tracker_ = std::make_unique<FaceTracker>(*detection_, *fitter_);
    }
    fitter_->setPicture(&grey);
    const TrackedFaces tracked = tracker_->next();
    greyWanted_ = grey.read();
    if (tracker_->detectionWanted()) {
        makeSmallCopy(buffers);
        tracker_->startDetection(buffers.small, {size.width / 4, size.height / 4}, size);
    }
    fitter_->setPicture(nullptr);
    std::vector<FaceCandidate> candidates;
    for (const TrackedFace& t : tracked) {
        if (t.found) {
            candidates.push_back(
                {trackedFaceRectangle(t.box, size, faceRectangleGrid()), t.landmarks});
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const FaceCandidate& a, const FaceCandidate& b) {
                         return a.rectangle.width > b.rectangle.width;
                     });
    storeFaces(candidates, face);
}

}  // namespace velvix
