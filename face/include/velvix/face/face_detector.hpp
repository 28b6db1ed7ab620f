#pragma once

#include <memory>
#include <string>
#include <vector>

#include "velvix/base/picture.hpp"
#include "velvix/pipeline/face_outputs.hpp"

namespace velvix {

// One face a detector found, in pixels of the picture it was given.
struct DetectedFace {
    int x = 0;  // the box's left edge
    int y = 0;  // its top edge
    int width = 0;
    int height = 0;
    float score = 1;  // 0 to 1; detectors without a score give 1
    // The facial points a network places (eyes, nose, mouth and, for some, the ears), in the
    // network's order; none from detectors that place none.
    std::vector<PointF> keypoints;
};

// Finds faces in a picture of 3-byte pixels (blue, green, red), in the detector's own order.
class FaceDetector {
  public:
    virtual ~FaceDetector() = default;
    virtual std::string name() const = 0;
    virtual std::vector<DetectedFace> detect(ConstPicture image) = 0;
};

// The program's detector: libfacedetection where the program was built with it; otherwise the
// BlazeFace full-range network when its file is found among the program's data files
// (platform/data_files.hpp) and works; otherwise, saying why in one line, OpenCV's cascade
// classifier.
std::unique_ptr<FaceDetector> makeFaceDetector();
// OpenCV's cascade classifier with opencv-data's frontal face cascade, found among the
// program's data files.
std::unique_ptr<FaceDetector> makeCascadeDetector();
// The BlazeFace full-range network of `networkPath`, or the cascade (with one line) when that
// file cannot be used.
std::unique_ptr<FaceDetector> makeFaceDetector(const std::string& networkPath);

}  // namespace velvix
