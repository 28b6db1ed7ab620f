#pragma once

#include <array>
#include <cstdint>

#include "velvix/pipeline/face_outputs.hpp"

namespace velvix {

// What the 98 landmarks of FaceLandmarks mark. "Left" and "right" are as the picture shows them
// (image-left, image-right), not the person's own.
namespace landmark {

// The jaw line, image-left ear to image-right ear round the chin.
inline constexpr int kJawPoints = 33;
inline constexpr int kChin = 16;
// The jaw below the middle of each cheek.
inline constexpr int kLeftJawBelowCheek = 6;
inline constexpr int kRightJawBelowCheek = 26;
// Upper brow edges: the image-left brow outer to inner (33-37), the image-right brow inner to
// outer (42-46); the lower edges lie between (38-41 and 47-50).
inline constexpr std::array<int, 10> kUpperBrows{33, 34, 35, 36, 37, 42, 43, 44, 45, 46};
inline constexpr int kLeftBrowOuterEnd = 33;
inline constexpr int kLeftBrowTop = 35;
inline constexpr int kLeftBrowUnderside = 40;
inline constexpr int kRightBrowTop = 44;
inline constexpr int kRightBrowOuterEnd = 46;
inline constexpr int kRightBrowUnderside = 48;
inline constexpr std::array<int, 9> kLeftBrow{33, 34, 35, 36, 37, 38, 39, 40, 41};
inline constexpr std::array<int, 9> kRightBrow{42, 43, 44, 45, 46, 47, 48, 49, 50};
inline constexpr std::array<int, 4> kLeftBrowLowerEdge{38, 39, 40, 41};
inline constexpr std::array<int, 4> kRightBrowLowerEdge{47, 48, 49, 50};
// The nose: the bridge from between the eyes (51) to the tip (54), then the lower nose from the
// image-left wing (55) through the middle (57) to the image-right wing (59).
inline constexpr int kNoseBridgeTop = 51;
inline constexpr int kNoseTip = 54;
inline constexpr int kLeftNoseWing = 55;
inline constexpr int kLeftNostril = 56;
inline constexpr int kNoseBottom = 57;
inline constexpr int kRightNostril = 58;
inline constexpr int kRightNoseWing = 59;
// The eyes, each from its outer corner over the upper lid and back under the lower lid: the
// image-left eye 60-67, the image-right eye 68-75 (starting at its inner corner); pupils 96, 97.
inline constexpr std::array<int, 8> kLeftEye{60, 61, 62, 63, 64, 65, 66, 67};
inline constexpr std::array<int, 8> kRightEye{68, 69, 70, 71, 72, 73, 74, 75};
inline constexpr std::array<int, 3> kLeftUpperLid{61, 62, 63};
inline constexpr std::array<int, 3> kRightUpperLid{69, 70, 71};
inline constexpr int kLeftEyeInnerCorner = 64;
inline constexpr int kLeftEyeLowerLid = 66;
inline constexpr int kRightEyeInnerCorner = 68;
inline constexpr int kRightEyeLowerLid = 74;
// The lips' outer edge from the image-left corner (76) over the upper lip (79 its middle) to the
// image-right corner (82) and back under the lower lip (85 its middle); the inner edge 88-95.
inline constexpr int kLeftMouthCorner = 76;
inline constexpr int kUpperLipLeft = 78;
inline constexpr int kUpperLipMiddle = 79;
inline constexpr int kRightMouthCorner = 82;
inline constexpr int kLowerLipMiddle = 85;
inline constexpr std::array<int, 12> kOuterLips{76, 77, 78, 79, 80, 81, 82, 83, 84, 85, 86, 87};

}  // namespace landmark

// Each point's partner in the picture mirrored left to right: the outer corner of the image-left
// eye becomes the outer corner of the image-right eye, and so on. Points on the middle line
// (nose bridge, nose tip, middle of the lips) are their own partners.
extern const std::array<std::uint8_t, kLandmarkCount> kMirroredLandmark;

// An area the feature mask keeps unsmoothed: the open intervals left < u < right and
// top < v < bottom, where u and v count from the far corner of the face rectangle (u = width - i
// and v = height - j for the pixel at column i, row j of the rectangle in memory), in the
// turned coordinates of the landmarks.
struct FeatureBox {
    float left = 1.0f;
    float right = 0.0f;
    float top = 1.0f;
    float bottom = 0.0f;
};

// Eyes with their brows (one box each), the nostrils and the mouth.
std::array<FeatureBox, 4> featureBoxes(const FaceLandmarks& landmarks);

}  // namespace velvix
