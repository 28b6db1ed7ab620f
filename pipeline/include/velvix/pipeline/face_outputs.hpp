#pragma once

#include <array>
#include <optional>

namespace velvix {

inline constexpr int kLandmarkCount = 98;
// Faces smoothed in one frame, at most: the widest ones.
inline constexpr int kMaxFaces = 4;

struct PointF {
    float x = 0;
    float y = 0;
};

using FaceLandmarks = std::array<PointF, kLandmarkCount>;

// One face of a frame: its rectangle in the coordinates of the frame turned by 180 degrees and
// its landmarks relative to the rectangle's corner, or none without a landmark model.
struct FaceInFrame {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    std::optional<FaceLandmarks> landmarks;
};

// What the face step found in the current frame: the widest accepted face in the fields that
// the panel and the tools report, and the other accepted faces beside it.
struct FaceOutputs {
    bool faceValid = false;
    int faceX = 0;
    int faceY = 0;
    int faceWidth = 0;
    int faceHeight = 0;
    // The last accepted fit; it outlives ticks on which no face is accepted.
    std::optional<FaceLandmarks> faceLandmarks;
    // The other faces accepted in this frame, the next widest first.
    std::array<FaceInFrame, kMaxFaces - 1> otherFaces{};
    int otherFaceCount = 0;

    // The widest face in the form of the others: nothing unless faceValid.
    std::optional<FaceInFrame> widestFace() const {
        if (!faceValid) {
            return std::nullopt;
        }
        return FaceInFrame{faceX, faceY, faceWidth, faceHeight, faceLandmarks};
    }
};

}  // namespace velvix
