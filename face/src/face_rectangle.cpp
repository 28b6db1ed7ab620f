#include "velvix/face/face_rectangle.hpp"

#include <algorithm>
#include <cmath>

namespace velvix {
namespace {

// Rectangles narrower or lower than this are no face.
constexpr int kMinimumFaceSide = 50;
int roundUpToGrid(int value, int grid) {
    return value % grid == 0 ? value : (value / grid + 1) * grid;
}

// A rectangle kept inside the frame: cut at the right, moved up at the bottom.
FaceRectangle keptInsideFrame(FaceRectangle rectangle, FrameSize size) {
    rectangle.x = std::max(rectangle.x, 0);
    rectangle.y = std::max(rectangle.y, 0);
    if (rectangle.x + rectangle.width > size.width) {
        rectangle.width = size.width - rectangle.x - 1;
    }
    if (rectangle.y + rectangle.height > size.height) {
        rectangle.y = size.height - rectangle.height - 1;
    }
    return rectangle;
}

// A detection in the quarter-size copy as a full-size rectangle: scaled by four, made 10 %
// narrower and taller unless it is clearly taller than wide already, and kept inside the
// frame.
FaceRectangle rectangleFromDetection(const DetectedFace& detected, FrameSize size) {
    int width = static_cast<int>(detected.width * 4.0);
    int height = static_cast<int>(detected.height * 4.0);
    if (width * 1.1 > static_cast<double>(height)) {
        width = static_cast<int>(width * 0.9);
        height = static_cast<int>(height * 1.1);
    }
    return keptInsideFrame(
        {static_cast<int>(detected.x * 4.0), static_cast<int>(detected.y * 4.0), width, height},
        size);
}

void alignToGrid(FaceRectangle& rectangle, FrameSize size, int grid) {
    rectangle.width = roundUpToGrid(rectangle.width, grid);
    rectangle.height = roundUpToGrid(rectangle.height, grid);
    while (rectangle.x + rectangle.width > size.width) {
        rectangle.width -= grid;
    }
    while (rectangle.y + rectangle.height > size.height) {
        rectangle.height -= grid;
    }
}

}  // namespace

std::vector<FaceRectangle> chooseFaceRectangles(const std::vector<DetectedFace>& detections,
                                                FrameSize size, int grid) {
    std::vector<FaceRectangle> rectangles;
    rectangles.reserve(detections.size());
    for (const DetectedFace& detected : detections) {
        const FaceRectangle rectangle = rectangleFromDetection(detected, size);
        if (rectangle.width > 0) {
            rectangles.push_back(rectangle);
        }
    }
    std::stable_sort(
        rectangles.begin(), rectangles.end(),
        [](const FaceRectangle& a, const FaceRectangle& b) { return a.width > b.width; });
    rectangles.resize(std::min(rectangles.size(), static_cast<std::size_t>(kMaxFaces)));
    if (grid > 1) {
        for (FaceRectangle& rectangle : rectangles) {
            alignToGrid(rectangle, size, grid);
        }
    }
    return rectangles;
}

FaceRectangle trackedFaceRectangle(const FaceBox& box, FrameSize size, int grid) {
    FaceRectangle rectangle = keptInsideFrame(
        {static_cast<int>(std::lround(box.x)), static_cast<int>(std::lround(box.y)),
         static_cast<int>(std::lround(box.width)), static_cast<int>(std::lround(box.height))},
        size);
    if (grid > 1) {
        alignToGrid(rectangle, size, grid);
    }
    return rectangle;
}

FaceBox boxAroundLandmarks(const FaceLandmarks& landmarks, const LiteMat& meanShape) {
    const int count = std::min<int>(meanShape.rows(), kLandmarkCount);
    // Per axis, the least-squares line from the mean shape's coordinate to the landmark's.
    double sums[2][4] = {};  // mean, landmark, mean squared, mean x landmark
    for (int k = 0; k < count; ++k) {
        const PointF point = landmarks[static_cast<std::size_t>(k)];
        const double values[2] = {point.x, point.y};
        for (int axis = 0; axis < 2; ++axis) {
            const double m = meanShape.at(k, axis);
            sums[axis][0] += m;
            sums[axis][1] += values[axis];
            sums[axis][2] += m * m;
            sums[axis][3] += m * values[axis];
        }
    }
    double centre[2] = {0, 0};
    double half[2] = {0, 0};
    for (int axis = 0; axis < 2; ++axis) {
        const double n = count;
        const double variance = sums[axis][2] / n - (sums[axis][0] / n) * (sums[axis][0] / n);
        const double covariance = sums[axis][3] / n - (sums[axis][0] / n) * (sums[axis][1] / n);
        half[axis] = variance > 0 ? covariance / variance : 0;
        centre[axis] = sums[axis][1] / n - half[axis] * sums[axis][0] / n;
    }
    return FaceBox::fromRectangle(static_cast<float>(centre[0] - half[0]),
                                  static_cast<float>(centre[1] - half[1]),
                                  static_cast<float>(2 * half[0]), static_cast<float>(2 * half[1]));
}

bool acceptableFaceRectangle(const FaceRectangle& rectangle) {
    return rectangle.x > 0 && rectangle.width > kMinimumFaceSide && rectangle.y > 0 &&
           rectangle.height > kMinimumFaceSide;
}

}  // namespace velvix
