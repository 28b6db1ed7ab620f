#include "velvix/filters/rb_filter.hpp"

#include <gtest/gtest.h>

#include "filter_images.hpp"
#include "reference_filter.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

using testing::Image;

constexpr float kSmallestSigma = 0.02f;

// FMA rounds w x colour + invAlpha x pixel once where the reference rounds twice; the two
// differ in the last bit now and then, which flips a rounding to the nearest byte at a half.
// The column pass measures distances on the row-filtered picture, so such a byte can move a
// weight and the column's byte by one more: at most 2, and on a small share of the bytes.
constexpr int kReferenceTolerance = 2;

Image filterFallback(const Image& in, int width, int height, float sigmaSpatial, float sigmaRange) {
    ScalarBuffers buffers;
    buffers.allocate(width, height, 4);
    Image out(in.size());
    filterScalar(buffers, in.data(), out.data(), sigmaSpatial, sigmaRange, width, height);
    return out;
}

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

// Flat and step pictures (a colour step across the middle, each side flat) must come out as
// they went in: a step that bled at the smallest sigmas would move bytes near it by far more.
enum class Picture { random, photoLike, flat, horizontalStep, verticalStep };

Image pictureOf(Picture picture, int width, int height, unsigned seed) {
    if (picture == Picture::random) {
        return testing::randomImage(width, height, seed);
    }
    if (picture == Picture::photoLike) {
        return testing::photoLikeImage(width, height, seed);
    }
    Image image =
        testing::flatImage(width, height, picture == Picture::flat ? 0xFF4080C0u : 0xFF000000u);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool vertical = picture == Picture::verticalStep;
            if (picture != Picture::flat && (vertical ? y >= height / 2 : x >= width / 2)) {
                for (int c = 0; c < 3; ++c) {
                    image[(static_cast<std::size_t>(y) * width + x) * 4 + c] ^= 0xFF;
                }
            }
        }
    }
    return image;
}

// Each case through both filters: the fallback (no fused multiply-adds, no threads) must agree
// with its reference to the byte, the vectorised one with its own within the FMA's tolerance,
// on rows padded to its 16-pixel grid where the width is off it. The cases hold strong edges
// and smooth pictures, single rows and columns, stripes with odd row counts, and both ends of
// the smoothing levels.
TEST(BothFilters, AgreeWithTheirReferencesOnATableOfPicturesAndLevels) {
    struct Case {
        int width;
        int height;
        Picture picture;
        float sigmaSpatial;
        float sigmaRange;
    };
    const Case cases[] = {
        {32, 16, Picture::random, 0.05f, 0.2f},
        {64, 48, Picture::photoLike, 0.03f, 0.07f},
        {127, 37, Picture::photoLike, 0.06f, 0.14f},
        {80, 19, Picture::random, 0.03f, 0.5f},
        {320, 180, Picture::photoLike, 0.036f, 0.084f},
        {96, 33, Picture::photoLike, kSmallestSigma, kSmallestSigma},
        {40, 17, Picture::photoLike, 0.04f, 0.1f},
        {40, 31, Picture::photoLike, 0.04f, 0.1f},
        {1, 1, Picture::photoLike, 0.06f, 0.14f},
        {1, 40, Picture::photoLike, 0.06f, 0.14f},
        {53, 1, Picture::photoLike, 0.06f, 0.14f},
        {40, 30, Picture::photoLike, 0.5f, 1.0f},
        {32, 16, Picture::flat, kSmallestSigma, kSmallestSigma},
        {64, 37, Picture::flat, 0.14f, 0.14f},
        {64, 32, Picture::horizontalStep, kSmallestSigma, kSmallestSigma},
        {64, 32, Picture::verticalStep, kSmallestSigma, kSmallestSigma},
    };
    unsigned seed = 21;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << " x " << c.height << ", sigmas "
                                          << c.sigmaSpatial << ", " << c.sigmaRange);
        const Image in = pictureOf(c.picture, c.width, c.height, ++seed);
        const bool keepsPicture = c.picture > Picture::photoLike;
        const Image fallback = filterFallback(in, c.width, c.height, c.sigmaSpatial, c.sigmaRange);
        const auto scalarDifference = testing::compareImages(
            fallback,
            testing::referenceScalarFilter(in, c.width, c.height, c.sigmaSpatial, c.sigmaRange));
        EXPECT_EQ(scalarDifference.differingBytes, 0u) << "largest " << scalarDifference.largest;
        if (keepsPicture) {
            // The fallback truncates, so a byte may come out one below the value it was.
            EXPECT_LE(testing::compareImages(fallback, in).largest, 1);
        } else if (c.width * c.height > 1) {
            EXPECT_NE(fallback, in);
        }

        if (!hasAVX2 || !vectorisedFilterTakes(c.width, c.height)) {
            continue;
        }
        const int paddedWidth = (c.width + 15) / 16 * 16;
        const Image padded = testing::withPitch(in, c.width, c.height, paddedWidth * 4);
        const Image vectorised = filterVectorised(padded, c.width, c.height, paddedWidth * 4,
                                                  c.sigmaSpatial, c.sigmaRange);
        const auto difference = testing::compareImages(
            vectorised,
            testing::referenceFilter(padded, paddedWidth, c.height, c.sigmaSpatial, c.sigmaRange));
        EXPECT_LE(difference.largest, kReferenceTolerance);
        EXPECT_LE(difference.differingBytes, padded.size() / 100);
        if (keepsPicture) {
            EXPECT_EQ(vectorised, padded);
        }
    }
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
