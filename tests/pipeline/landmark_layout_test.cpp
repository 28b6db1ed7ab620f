#include "velvix/face/landmark_layout.hpp"

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

}  // namespace
}  // namespace velvix
