#include "velvix/face/face_rectangle.hpp"

#include <algorithm>

#include "velvix/face/face_detector.hpp"

namespace velvix {
namespace {

// Rectangles narrower or lower than this are no face.
constexpr int kMinimumFaceSide = 50;
// The smoothing rectangle follows the vectorised filter's 16-pixel steps.
constexpr int kAlignment = 16;

int roundUpToAlignment(int value) {
    return value % kAlignment == 0 ? value : (value / kAlignment + 1) * kAlignment;
}

// A detection in the quarter-size copy as a full-size rectangle: scaled by four, made 10 %
// narrower and taller unless it is clearly taller than wide already, and kept inside the
// frame (cut at the right, moved up at the bottom).
FaceRectangle rectangleFromDetection(const DetectedFace& detected, FrameSize size) {
    int width = static_cast<int>(detected.width * 4.0);
    int height = static_cast<int>(detected.height * 4.0);
    if (width * 1.1 > static_cast<double>(height)) {
        width = static_cast<int>(width * 0.9);
        height = static_cast<int>(height * 1.1);
    }
    FaceRectangle rectangle;
    rectangle.x = std::max(static_cast<int>(detected.x * 4.0), 0);
    rectangle.y = std::max(static_cast<int>(detected.y * 4.0), 0);
    if (rectangle.x + width > size.width) {
        width = size.width - rectangle.x - 1;
    }
    if (rectangle.y + height > size.height) {
        rectangle.y = size.height - height - 1;
    }
    rectangle.width = width;
    rectangle.height = height;
    return rectangle;
}

void alignToFilterSteps(FaceRectangle& rectangle, FrameSize size) {
    rectangle.width = roundUpToAlignment(rectangle.width);
    rectangle.height = roundUpToAlignment(rectangle.height);
    while (rectangle.x + rectangle.width > size.width) {
        rectangle.width -= kAlignment;
    }
    while (rectangle.y + rectangle.height > size.height) {
        rectangle.height -= kAlignment;
    }
}

}  // namespace

FaceRectangle chooseFaceRectangle(const int* detections, int recordShorts, FrameSize size,
                                  bool alignToSixteen) {
    FaceRectangle best;
    const int count = detectedFaceCount(detections);
    for (int i = 0; i < count; ++i) {
        const FaceRectangle candidate =
            rectangleFromDetection(detectedFace(detections, recordShorts, i), size);
        if (candidate.width > best.width) {
            best = candidate;
        }
    }
    if (alignToSixteen) {
        alignToFilterSteps(best, size);
    }
    return best;
}

bool acceptableFaceRectangle(const FaceRectangle& rectangle) {
    return rectangle.x > 0 && rectangle.width > kMinimumFaceSide && rectangle.y > 0 &&
           rectangle.height > kMinimumFaceSide;
}

}  // namespace velvix
