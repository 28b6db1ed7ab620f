#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velvix/face/face_detector.hpp"
#include "velvix/face/face_tracker.hpp"
#include "velvix/face/landmark_model.hpp"
#include "velvix/pipeline/processing_steps.hpp"

namespace velvix {

class LandmarkFaceFitter;

// How the face step finds the face.
enum class FaceSearch {
    // Detection on every frame, on the calling thread: for single pictures and measurements.
    everyFrame,
    // The face followed from frame to frame by its landmarks (FaceTracker), detection on a
    // thread of its own: for the live picture.
    tracking,
};

// Finds the faces in each frame, on a copy turned by 180 degrees: detection on a quarter-size
// copy, the widest faces (kMaxFaces at most) turned into rectangles, and the landmarks fitted
// on the grey picture. The widest accepted face is the one reported in FaceOutputs' own fields. The
// model is loaded by `prepare` or on the first call. Tracking needs the model; without one each
// frame is searched as with `everyFrame`.
class FaceProcessingStep final : public FaceStep {
  public:
    // `modelPath` names the model file; empty looks for "velvix.dat" where the program's data
    // files are looked for (platform/data_files.hpp).
    FaceProcessingStep(std::unique_ptr<FaceDetector> detector, std::string modelPath = {},
                       FaceSearch search = FaceSearch::everyFrame);
    ~FaceProcessingStep() override;

    void run(const FaceStepBuffers& buffers, FaceOutputs& face) override;
    // Where the last run's fits read: the faces have moved little by the next frame.
    GreyAreas greyAreasWanted() const override { return greyWanted_; }
    // Loads the model now rather than on the first run, which would otherwise hold up the first
    // frame with smoothing on for the time it takes to read the file. Call it on the thread
    // that runs the step, before the first run.
    void prepare() { loadModelOnce(); }

    std::string detectorName() const;
    // Waits until a detection started by the `tracking` search has finished, as it would have
    // by the next frame at 30 frames per second: for recorded frames processed faster.
    void waitForDetection();
    // Loaded on the first run; empty before, or when no usable model was found.
    const LandmarkModel& model() const { return model_; }
    bool modelLoadAttempted() const { return modelLoadAttempted_; }
    // The tracker of the `tracking` search; null before the first run or without a model.
    const FaceTracker* tracker() const { return tracker_.get(); }

  private:
    void loadModelOnce();
    std::vector<FaceRectangle> detectNow(const FaceStepBuffers& buffers);
    void makeSmallCopy(const FaceStepBuffers& buffers);
    void searchEveryFrame(const FaceStepBuffers& buffers, FaceOutputs& face);
    void track(const FaceStepBuffers& buffers, FaceOutputs& face);

    std::unique_ptr<FaceDetector> detector_;
    std::unique_ptr<DetectionThread> detection_;
    std::string modelPath_;
    bool modelLoadAttempted_ = false;
    LandmarkModel model_;
    std::unique_ptr<LandmarkFaceFitter> fitter_;
    std::unique_ptr<FaceTracker> tracker_;
    GreyAreas greyWanted_;
};

}  // namespace velvix
