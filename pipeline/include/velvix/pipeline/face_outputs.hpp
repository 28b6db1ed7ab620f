#pragma once

#include <array>
#include <optional>

namespace velvix {

inline constexpr int kLandmarkCount = 98;

struct PointF {
    float x = 0;
    float y = 0;
};

using FaceLandmarks = std::array<PointF, kLandmarkCount>;

// What the face step found in the current frame. The rectangle is in the coordinates of the
// frame turned by 180 degrees; the landmarks are relative to the rectangle's corner.
struct FaceOutputs {
    bool faceValid = false;
    int faceX = 0;
    int faceY = 0;
    int faceWidth = 0;
    int faceHeight = 0;
    // The last accepted fit; it outlives ticks on which no face is accepted.
    std::optional<FaceLandmarks> faceLandmarks;
};

}  // namespace velvix
