#include "velvix/pipeline/landmark_layout.hpp"

namespace velvix {
namespace {

constexpr std::array<std::uint8_t, 98> mirrorMap() {
    std::array<std::uint8_t, 98> map{};
    for (int k = 0; k < 98; ++k) {
        map[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(k);
    }
    auto pair = [&map](int a, int b) {
        map[static_cast<std::size_t>(a)] = static_cast<std::uint8_t>(b);
        map[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(a);
    };
    for (int k = 0; k < 16; ++k) {
        pair(k, 32 - k);  // face contour, round the chin (16)
    }
    for (int k = 0; k < 5; ++k) {
        pair(33 + k, 46 - k);  // upper brow edges, outer to inner against inner to outer
    }
    for (int k = 0; k < 4; ++k) {
        pair(38 + k, 50 - k);  // lower brow edges
    }
    pair(55, 59);  // lower nose
    pair(56, 58);
    for (int k = 0; k < 5; ++k) {
        pair(60 + k, 72 - k);  // eye corners and upper lids
    }
    for (int k = 0; k < 3; ++k) {
        pair(65 + k, 75 - k);  // lower lids
    }
    for (int k = 0; k < 3; ++k) {
        pair(76 + k, 82 - k);  // outer lip, upper half
        pair(83 + k, 87 - k);  // outer lip, lower half (85 is its own partner)
    }
    pair(88, 92);  // inner lip
    pair(89, 91);
    pair(93, 95);
    pair(96, 97);  // pupils
    return map;
}

}  // namespace

const std::array<std::uint8_t, kLandmarkCount> kMirroredLandmark = mirrorMap();

std::array<FeatureBox, 4> featureBoxes(const FaceLandmarks& p) {
    using namespace landmark;
    const float mouthSpread = p[kUpperLipMiddle].x - p[kUpperLipLeft].x;
    // Each eye box spans its brow's outer end to halfway between the eye's inner corner and the
    // nose bridge, and its brow's top to half an eye-to-brow height below the lower lid.
    return {{
        {p[kLeftBrowOuterEnd].x, (p[kNoseBridgeTop].x + p[kLeftEyeInnerCorner].x) * 0.5f,
         p[kLeftBrowTop].y,
         p[kLeftEyeLowerLid].y + (p[kLeftEyeLowerLid].y - p[kLeftBrowUnderside].y) * 0.5f},
        {(p[kNoseBridgeTop].x + p[kRightEyeInnerCorner].x) * 0.5f, p[kRightBrowOuterEnd].x,
         p[kRightBrowTop].y,
         p[kRightEyeLowerLid].y + (p[kRightEyeLowerLid].y - p[kRightBrowUnderside].y) * 0.5f},
        {2.0f * p[kLeftNoseWing].x - p[kLeftNostril].x,
         2.0f * p[kRightNoseWing].x - p[kRightNostril].x, p[kNoseTip].y + 10.0f,
         p[kNoseBottom].y + 10.0f},
        {p[kLeftMouthCorner].x - mouthSpread, p[kRightMouthCorner].x + mouthSpread,
         p[kUpperLipLeft].y - 10.0f, p[kLowerLipMiddle].y + 10.0f},
    }};
}

}  // namespace velvix
