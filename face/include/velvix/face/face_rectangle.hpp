#pragma once

#include "velvix/pipeline/frame_size.hpp"

namespace velvix {

// A face's rectangle in full-size frame coordinates.
struct FaceRectangle {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The face step's rectangle for detections made on the quarter-size copy of a frame of
// `size`: the widest detection after correction and clamping (of equally wide ones the
// first), or an empty rectangle at 0, 0. With `alignToSixteen` the sides then follow the
// vectorised filter's 16-pixel steps.
FaceRectangle chooseFaceRectangle(const int* detections, int recordShorts, FrameSize size,
                                  bool alignToSixteen);

// Whether the face step takes the rectangle for a face: off the top and left edges and more
// than 50 pixels in both directions.
bool acceptableFaceRectangle(const FaceRectangle& rectangle);

}  // namespace velvix
