#include "velvix/filters/rb_filter.hpp"

#include <gtest/gtest.h>

#include "reference_filter.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

using testing::Image;

// Rows `pitch` bytes apart, the padding zero; the filter covers the padding too.
Image filterVectorised(const Image& in, int width, int height, int pitch, float sigmaSpatial,
                       float sigmaRange) {
    CRBFilterAVX2 filter;
    EXPECT_TRUE(filter.initialize(width, height));
    filter.setSigma(sigmaSpatial, sigmaRange);
    Image out(in.size());
    EXPECT_TRUE(filter.filter(out.data(), in.data(), width, height, pitch));
    return out;
}

// Rows that are each flat pass the row filter unchanged; the columns hold 10 in row 0, 20 in
// the rows between and 30 in the last row, where the two directions' values are averaged
// rounding up. The reference rounds as the filter should, and on these rows no fused
// multiply-add changes a byte.
TEST(VectorisedFilter, TopAndBottomRowsAverageTheirTwoDirectionsRoundingUp) {
    if (!hasAVX2) {
        GTEST_SKIP() << "this processor has no AVX2";
    }
    Image image(32 * 16 * 4, 20);
    std::fill_n(image.begin(), 32 * 4, 10);
    std::fill_n(image.end() - 32 * 4, 32 * 4, 30);
    const Image out = filterVectorised(image, 32, 16, 128, 0.08f, 0.08f);
    EXPECT_EQ(out, testing::referenceFilter(image, 32, 16, 0.08f, 0.08f));
}

TEST(VectorisedFilter, RefusesSizesAndCallsItCannotServeWithoutWritingAnything) {
    if (!hasAVX2) {
        GTEST_SKIP() << "this processor has no AVX2";
    }
    const Image in = testing::photoLikeImage(64, 32, 1);
    const Image untouched(in.size(), 0xAB);
    Image out = untouched;
    CRBFilterAVX2 filter;
    ASSERT_TRUE(filter.initialize(64, 32));
    EXPECT_FALSE(filter.filter(out.data(), in.data(), 64, 32, 256)) << "before setSigma";
    filter.setSigma(0.03f, 0.07f);
    // Refused sizes leave the filter sized for 64 x 32.
    for (const auto& [width, height] : {std::pair{15, 16}, {10001, 16}, {32, 1}, {32, 10001}}) {
        EXPECT_FALSE(filter.initialize(width, height)) << width << " x " << height;
    }
    struct Call {
        int width;
        int height;
        int pitch;
        const char* what;
    };
    for (const Call& call :
         {Call{31, 32, 256, "width 31"}, Call{64, 15, 256, "height 15"},
          Call{64, 32, 255, "pitch a byte short"}, Call{64, 32, 320, "pitch past the reserve"},
          Call{40, 32, 224, "pitch not in 64s"}}) {
        EXPECT_FALSE(filter.filter(out.data(), in.data(), call.width, call.height, call.pitch))
            << call.what;
    }
    EXPECT_FALSE(filter.filter(nullptr, in.data(), 64, 32, 256));
    EXPECT_FALSE(filter.filter(out.data(), nullptr, 64, 32, 256));
    {
        const Avx2Choice scalar(false);
        EXPECT_FALSE(filter.filter(out.data(), in.data(), 64, 32, 256)) << "scalar paths forced";
    }
    EXPECT_EQ(out, untouched);

    EXPECT_TRUE(filter.filter(out.data(), in.data(), 32, 16, 256)) << "the smallest image";
    filter.release();
    out = untouched;
    EXPECT_FALSE(filter.filter(out.data(), in.data(), 64, 32, 256)) << "after release";
    EXPECT_EQ(out, untouched);
}

}  // namespace
}  // namespace velvix
