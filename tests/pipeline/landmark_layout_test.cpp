#include "velvix/pipeline/landmark_layout.hpp"

#include <gtest/gtest.h>

namespace velvix {
namespace {

TEST(MirroredLandmark, IsAnInvolutionThatSwapsTheSides) {
    for (int k = 0; k < 98; ++k) {
        const int partner = kMirroredLandmark[static_cast<std::size_t>(k)];
        EXPECT_EQ(kMirroredLandmark[static_cast<std::size_t>(partner)], k) << k;
    }
    EXPECT_EQ(kMirroredLandmark[0], 32);   // contour ends
    EXPECT_EQ(kMirroredLandmark[16], 16);  // chin
    EXPECT_EQ(kMirroredLandmark[33], 46);  // outer brow ends
    EXPECT_EQ(kMirroredLandmark[38], 50);  // inner ends of the lower brow edges
    EXPECT_EQ(kMirroredLandmark[41], 47);  // outer ends of the lower brow edges
    EXPECT_EQ(kMirroredLandmark[60], 72);  // outer eye corners
    EXPECT_EQ(kMirroredLandmark[64], 68);  // inner eye corners
    EXPECT_EQ(kMirroredLandmark[65], 75);  // lower lids next to the inner corners
    EXPECT_EQ(kMirroredLandmark[76], 82);  // mouth corners
    EXPECT_EQ(kMirroredLandmark[79], 79);  // middle of the upper lip
    EXPECT_EQ(kMirroredLandmark[85], 85);  // middle of the lower lip
    EXPECT_EQ(kMirroredLandmark[88], 92);  // inner mouth corners
    EXPECT_EQ(kMirroredLandmark[96], 97);  // pupils
    for (int k = 51; k <= 54; ++k) {
        EXPECT_EQ(kMirroredLandmark[static_cast<std::size_t>(k)], k);  // nose bridge
    }
}

// The named points of one side mirror onto their namesakes of the other, and the middle ones
// onto themselves: a name on the wrong index breaks one of these.
TEST(MirroredLandmark, AgreesWithTheNamedPoints) {
    using namespace landmark;
    const std::pair<int, int> sides[] = {
        {kLeftBrowOuterEnd, kRightBrowOuterEnd},
        {kLeftBrowTop, kRightBrowTop},
        {kLeftBrowUnderside, kRightBrowUnderside},
        {kLeftNoseWing, kRightNoseWing},
        {kLeftNostril, kRightNostril},
        {kLeftEyeInnerCorner, kRightEyeInnerCorner},
        {kLeftEyeLowerLid, kRightEyeLowerLid},
        {kLeftMouthCorner, kRightMouthCorner},
        {kChin, kChin},
        {kNoseBridgeTop, kNoseBridgeTop},
        {kNoseTip, kNoseTip},
        {kNoseBottom, kNoseBottom},
        {kUpperLipMiddle, kUpperLipMiddle},
        {kLowerLipMiddle, kLowerLipMiddle},
    };
    for (const auto& [left, right] : sides) {
        EXPECT_EQ(kMirroredLandmark[static_cast<std::size_t>(left)], right) << left;
    }
    for (std::size_t k = 0; k < kUpperBrows.size(); ++k) {
        EXPECT_EQ(kMirroredLandmark[static_cast<std::size_t>(kUpperBrows[k])],
                  kUpperBrows[kUpperBrows.size() - 1 - k]);
    }
}

}  // namespace
}  // namespace velvix
