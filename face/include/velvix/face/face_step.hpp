#pragma once

#include <memory>
#include <optional>
#include <string>

#include "velvix/face/face_detector.hpp"
#include "velvix/face/landmark_model.hpp"
#include "velvix/pipeline/processing_steps.hpp"

namespace velvix {

// Finds the face in each frame, on a copy turned by 180 degrees: detection on a quarter-size
// copy, the widest face turned into the smoothing rectangle, and the landmarks fitted on the
// grey picture. The model is loaded on the first call.
class FaceProcessingStep final : public FaceStep {
  public:
    // `modelPath` names the model file; empty looks for "velvix.dat" where the program's data
    // files are looked for (platform/data_files.hpp).
    FaceProcessingStep(std::unique_ptr<FaceDetector> detector, std::string modelPath = {});

    void run(const FaceStepBuffers& buffers, FaceOutputs& face) override;

    const FaceDetector& detector() const { return *detector_; }
    // Loaded on the first run; empty before, or when no usable model was found.
    const LandmarkModel& model() const { return model_; }
    bool modelLoadAttempted() const { return modelLoadAttempted_; }

  private:
    void loadModelOnce();
    void fitAcceptedFace(const FaceStepBuffers& buffers, FaceOutputs& face);

    std::unique_ptr<FaceDetector> detector_;
    std::string modelPath_;
    bool modelLoadAttempted_ = false;
    LandmarkModel model_;
};

}  // namespace velvix
