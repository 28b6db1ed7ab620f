#include "velvix/pipeline/landmark_layout.hpp"

#include <gtest/gtest.h>

namespace velvix {
namespace {

// Mirroring twice gives each point back, and the named points of one side mirror onto their
// namesakes of the other (the middle ones onto themselves): a name or a partner on the wrong
// index breaks one of these.
TEST(MirroredLandmark, SwapsTheNamedPointsOfTheTwoSidesAndUndoesItself) {
    using namespace landmark;
    for (int k = 0; k < 98; ++k) {
        const int partner = kMirroredLandmark[static_cast<std::size_t>(k)];
        EXPECT_EQ(kMirroredLandmark[static_cast<std::size_t>(partner)], k) << k;
    }
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
