#pragma once

#include <vector>

#include "velvix/base/picture.hpp"
#include "velvix/face/face_detector.hpp"
#include "velvix/face/landmark_fitter.hpp"
#include "velvix/face/lite_mat.hpp"
#include "velvix/pipeline/face_outputs.hpp"

namespace velvix {

// A face's rectangle in full-size frame coordinates.
struct FaceRectangle {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The face step's rectangles for detections made on the quarter-size copy of a frame of
// `size`: each detection corrected and clamped, the widest kMaxFaces of them, widest first (of
// equally wide ones the first detected). Their sides then follow a `grid` of that many pixels
// (the filter's faceRectangleGrid(); 1 leaves them as they are).
std::vector<FaceRectangle> chooseFaceRectangles(const std::vector<DetectedFace>& detections,
                                                FrameSize size, int grid);

// The smoothing rectangle of a tracked face's box, by the same rules as a detection's after
// its size correction: kept inside the frame and on the `grid`.
FaceRectangle trackedFaceRectangle(const FaceBox& box, FrameSize size, int grid);

// The box in which the model's mean shape (L x 2, the box spanning -1 to +1) lies closest to
// the landmarks: per axis the least-squares centre and half size. It is the box the fit of
// these landmarks would most likely have started from, so the next frame's fit starts there.
FaceBox boxAroundLandmarks(const FaceLandmarks& landmarks, const LiteMat& meanShape);

// Whether the face step takes the rectangle for a face: off the top and left edges and more
// than 50 pixels in both directions.
bool acceptableFaceRectangle(const FaceRectangle& rectangle);

}  // namespace velvix
