#pragma once

#include <opencv2/objdetect.hpp>

#include "velvix/face/face_detector.hpp"
#include "velvix/platform/log.hpp"

namespace velvix {

// The cascade the build takes from opencv-data and ships among the program's data files.
inline constexpr char kCascadeFileName[] = "haarcascade_frontalface_alt2.xml";

// Faces found by one of OpenCV's cascade classifiers: boxes only, without a score.
class CascadeFaceDetector final : public FaceDetector {
  public:
    // An empty `cascadeFile` (none was found) or one OpenCV cannot read leaves a detector that
    // finds no faces, and says so in its name.
    explicit CascadeFaceDetector(const std::string& cascadeFile);

    std::string name() const override;
    std::vector<DetectedFace> detect(ConstPicture image) override;
    bool ready() const { return !cascade_.empty(); }

  private:
    std::string cascadeFile_;
    cv::CascadeClassifier cascade_;
    platform::DebugOnce failures_;
};

}  // namespace velvix
