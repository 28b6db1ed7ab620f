#include "velvix/filters/rb_filter.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "filter_images.hpp"
#include "reference_filter.hpp"
#include "velvix/filters/smoothing.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

using testing::Image;

const float kSmallestSigma = static_cast<float>(0.02);

// Both paths of the filter on a tightly packed image of a width that is a multiple of 16.
Image filterVectorised(const Image& in, int width, int height, float sigmaSpatial,
                       float sigmaRange) {
    CRBFilterAVX2 filter;
    EXPECT_TRUE(filter.initialize(width, height));
    filter.setSigma(sigmaSpatial, sigmaRange);
    Image out(in.size());
    EXPECT_TRUE(filter.filter(out.data(), in.data(), width, height, width * 4));
    return out;
}

Image filterFallback(const Image& in, int width, int height, float sigmaSpatial, float sigmaRange) {
    ScalarBuffers buffers;
    buffers.allocate(width, height, 4);
    Image out(in.size());
    filterScalar(buffers, in.data(), out.data(), sigmaSpatial, sigmaRange, width, height);
    return out;
}

class VectorisedFilter : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!hasAVX2) {
            GTEST_SKIP() << "this processor has no AVX2";
        }
    }
};

TEST(FilterCoefficients, MatchTheListedValues) {
    for (const auto& c : {vectorCoefficients(kSmallestSigma, kSmallestSigma),
                          scalarCoefficients(kSmallestSigma, kSmallestSigma)}) {
        EXPECT_NEAR(c.alpha, 0.75783, 5e-6);
        EXPECT_FLOAT_EQ(c.invAlpha, 1.0f - c.alpha);
        EXPECT_NEAR(c.rangeTable[0], 0.75783, 5e-6);
        EXPECT_NEAR(c.rangeTable[1], 0.62290, 5e-6);
        EXPECT_NEAR(c.rangeTable[10], 0.10666, 5e-6);
    }
    for (const auto& c : {vectorCoefficients(0.06f, 0.14f), scalarCoefficients(0.06f, 0.14f)}) {
        EXPECT_NEAR(c.alpha, 0.91171, 5e-6);
        EXPECT_NEAR(c.rangeTable[255], 0.00072, 5e-6);
    }
}

TEST_F(VectorisedFilter, InitializeSizesTheObjectAndRefusesOtherSizes) {
    CRBFilterAVX2 filter;
    ASSERT_TRUE(filter.initialize(40, 17));
    EXPECT_EQ(filter.reservedWidth(), 48);
    EXPECT_EQ(filter.reservedHeight(), 18);
    EXPECT_EQ(filter.threadCount(), 2);
    for (const auto& [width, height] :
         {std::pair{15, 16}, std::pair{10001, 16}, std::pair{32, 1}, std::pair{32, 10001}}) {
        EXPECT_FALSE(filter.initialize(width, height)) << width << " x " << height;
        EXPECT_EQ(filter.reservedWidth(), 48);
        EXPECT_EQ(filter.reservedHeight(), 18);
    }
    EXPECT_TRUE(filter.initialize(16, 2));
}

TEST_F(VectorisedFilter, RefusesCallsItCannotServeWithoutWritingAnything) {
    const Image in = testing::photoLikeImage(64, 32, 1);
    const Image untouched(in.size(), 0xAB);
    Image out = untouched;

    CRBFilterAVX2 unset;
    ASSERT_TRUE(unset.initialize(64, 32));
    EXPECT_FALSE(unset.filter(out.data(), in.data(), 64, 32, 256)) << "before setSigma";

    CRBFilterAVX2 filter;
    ASSERT_TRUE(filter.initialize(64, 32));
    filter.setSigma(0.03f, 0.07f);
    EXPECT_FALSE(filter.filter(out.data(), in.data(), 31, 32, 256)) << "width 31";
    EXPECT_FALSE(filter.filter(out.data(), in.data(), 64, 15, 256)) << "height 15";
    EXPECT_FALSE(filter.filter(out.data(), in.data(), 64, 32, 255)) << "pitch a byte short";
    EXPECT_FALSE(filter.filter(out.data(), in.data(), 64, 32, 320)) << "pitch past the reserve";
    EXPECT_FALSE(filter.filter(out.data(), in.data(), 40, 32, 224)) << "pitch not in 64s";
    EXPECT_FALSE(filter.filter(nullptr, in.data(), 64, 32, 256));
    EXPECT_FALSE(filter.filter(out.data(), nullptr, 64, 32, 256));
    EXPECT_EQ(out, untouched);

    EXPECT_TRUE(filter.filter(out.data(), in.data(), 32, 16, 256)) << "the smallest image";
    filter.release();
    out = untouched;
    EXPECT_FALSE(filter.filter(out.data(), in.data(), 64, 32, 256)) << "after release";
    EXPECT_EQ(out, untouched);

    ASSERT_TRUE(filter.initialize(64, 32));
    filter.setSigma(0.03f, 0.07f);
    const Avx2Choice scalar(false);
    EXPECT_FALSE(filter.filter(out.data(), in.data(), 64, 32, 256)) << "scalar paths forced";
    EXPECT_EQ(out, untouched);
}

TEST(BothFilters, LeaveAFlatImageUnchanged) {
    for (const auto& [width, height] : {std::pair{32, 16}, std::pair{64, 37}}) {
        const Image flat = testing::flatImage(width, height, 0xFF4080C0u);
        for (const float sigma : {kSmallestSigma, 0.14f}) {
            if (hasAVX2) {
                EXPECT_EQ(filterVectorised(flat, width, height, sigma, sigma), flat);
            }
            EXPECT_EQ(filterFallback(flat, width, height, sigma, sigma), flat);
        }
    }
}

// Left half black, right half white in channels 0 to 2, or the same step vertically.
Image stepImage(int width, int height, bool vertical, int firstChannel, int lastChannel) {
    Image image = testing::flatImage(width, height, 0xFF000000u);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if ((vertical ? y >= height / 2 : x >= width / 2)) {
                std::uint8_t* pixel = image.data() + (static_cast<std::size_t>(y) * width + x) * 4;
                for (int c = firstChannel; c <= lastChannel; ++c) {
                    pixel[c] = static_cast<std::uint8_t>(pixel[c] ^ 0xFF);
                }
            }
        }
    }
    return image;
}

// The fallback truncates its result, so a byte may come out one below the value it was; a
// bleeding step would move bytes near it by far more.
TEST(BothFilters, AColourStepDoesNotBleedAtTheSmallestSigmas) {
    for (const bool vertical : {false, true}) {
        const Image step = stepImage(64, 32, vertical, 0, 2);
        if (hasAVX2) {
            EXPECT_EQ(filterVectorised(step, 64, 32, kSmallestSigma, kSmallestSigma), step);
        }
        const Image fallback = filterFallback(step, 64, 32, kSmallestSigma, kSmallestSigma);
        EXPECT_LE(testing::compareImages(fallback, step).largest, 1);
    }
}

TEST(BothFilters, AStepInTheFourthByteAloneIsSmoothedOnlyByTheVectorisedFilter) {
    const Image step = stepImage(64, 32, false, 3, 3);
    ScalarBuffers fourChannels;
    fourChannels.channels = 4;
    EXPECT_EQ(channelDistance(fourChannels, step.data(), step.data() + 63 * 4), 63);
    EXPECT_EQ(channelDistance(fourChannels, step.data(), step.data() + 4), 0);

    const auto fourthByteAt = [](const Image& image, int x) {
        return image[16 * 64 * 4 + x * 4 + 3];
    };
    const Image fallback = filterFallback(step, 64, 32, kSmallestSigma, kSmallestSigma);
    // Distance 63 gives a weight of about 3e-6: the step stays where it is.
    EXPECT_GE(fourthByteAt(fallback, 31), 254);
    EXPECT_LE(fourthByteAt(fallback, 32), 1);
    if (hasAVX2) {
        const Image vectorised = filterVectorised(step, 64, 32, kSmallestSigma, kSmallestSigma);
        EXPECT_GT(fourthByteAt(vectorised, 31), 10);
        EXPECT_LT(fourthByteAt(vectorised, 31), 245);
        EXPECT_GT(fourthByteAt(vectorised, 32), 10);
        EXPECT_LT(fourthByteAt(vectorised, 32), 245);
    }
}

// Rows that are each flat pass the row filter unchanged; the columns here hold 10 in row 0,
// 20 in the rows between and 30 in the last row.
TEST_F(VectorisedFilter, TopAndBottomRowsAverageTheirTwoDirectionsRoundingUp) {
    constexpr int kWidth = 32;
    constexpr int kHeight = 16;
    Image image(kWidth * kHeight * 4);
    for (int y = 0; y < kHeight; ++y) {
        const std::uint8_t value = y == 0 ? 10 : (y == kHeight - 1 ? 30 : 20);
        std::fill_n(image.begin() + y * kWidth * 4, kWidth * 4, value);
    }
    const float sigma = 0.08f;
    const Image out = filterVectorised(image, kWidth, kHeight, sigma, sigma);

    // The other direction's value at both ends, in double precision.
    const FilterCoefficients k = vectorCoefficients(sigma, sigma);
    const auto valueAt = [](int y) { return y == 0 ? 10 : (y == kHeight - 1 ? 30 : 20); };
    const auto sweptValue = [&](int from, int to, int step) {
        double colour = valueAt(from);
        double factor = 1.0;
        for (int y = from + step; y != to + step; y += step) {
            const int distance = std::abs(valueAt(y) - valueAt(y - step));
            const double w = k.rangeTable[static_cast<std::size_t>(distance)];
            factor = k.invAlpha + w * factor;
            colour = double{k.invAlpha} * valueAt(y) + w * colour;
        }
        return static_cast<int>(std::nearbyint(colour / factor));
    };
    const int upwardsAtTop = sweptValue(kHeight - 1, 0, -1);
    const int downwardsAtBottom = sweptValue(0, kHeight - 1, 1);
    ASSERT_EQ((upwardsAtTop + 10) % 2, 1) << "the test needs an odd sum to see the rounding";
    ASSERT_EQ((downwardsAtBottom + 30) % 2, 1) << "the test needs an odd sum to see the rounding";
    for (int x = 0; x < kWidth; ++x) {
        EXPECT_EQ(out[x * 4], (upwardsAtTop + 10 + 1) / 2);
        EXPECT_EQ(out[((kHeight - 1) * kWidth + x) * 4], (30 + downwardsAtBottom + 1) / 2);
    }
}

struct ImageCase {
    int width;
    int height;
    bool photoLike;
    float sigmaSpatial;
    float sigmaRange;

    Image image(unsigned seed) const {
        return photoLike ? testing::photoLikeImage(width, height, seed)
                         : testing::randomImage(width, height, seed);
    }
};

// The fallback has no fused multiply-adds and no threads: it must agree with its reference to
// the byte, on pictures with strong edges and smooth ones, on single rows and columns, and at
// both ends of the smoothing levels.
TEST(ScalarFilter, AgreesExactlyWithAPixelAtATimeReference) {
    const ImageCase cases[] = {
        {32, 16, false, 0.05f, 0.2f},     {64, 48, true, 0.03f, 0.07f},
        {127, 37, true, 0.06f, 0.14f},    {80, 19, false, 0.03f, 0.5f},
        {320, 180, true, 0.036f, 0.084f}, {96, 33, true, kSmallestSigma, kSmallestSigma},
        {1, 1, true, 0.06f, 0.14f},       {1, 40, true, 0.06f, 0.14f},
        {53, 1, true, 0.06f, 0.14f},      {40, 30, true, 0.5f, 1.0f}};
    unsigned seed = 21;
    for (const ImageCase& c : cases) {
        const Image in = c.image(++seed);
        const Image expected =
            testing::referenceScalarFilter(in, c.width, c.height, c.sigmaSpatial, c.sigmaRange);
        const Image actual = filterFallback(in, c.width, c.height, c.sigmaSpatial, c.sigmaRange);
        const auto difference = testing::compareImages(actual, expected);
        EXPECT_EQ(difference.differingBytes, 0u)
            << c.width << " x " << c.height << ", largest difference " << difference.largest;
        if (c.width * c.height > 1) {
            EXPECT_NE(actual, in) << c.width << " x " << c.height;
        }
    }
}

// FMA rounds w x colour + invAlpha x pixel once where the reference rounds twice; the two
// differ in the last bit now and then, which flips a rounding to the nearest byte at a half.
// The column pass measures distances on the row-filtered picture, so such a byte can move a
// weight and the column's byte by one more: at most 2, and on a small share of the bytes.
constexpr int kReferenceTolerance = 2;

TEST_F(VectorisedFilter, AgreesWithTheReferenceOnRandomAndPhotoLikeImages) {
    const ImageCase cases[] = {
        {32, 16, false, 0.05f, 0.2f},     {64, 48, true, 0.03f, 0.07f},
        {128, 37, true, 0.06f, 0.14f},    {80, 19, false, 0.03f, 0.5f},
        {320, 180, true, 0.036f, 0.084f}, {96, 33, true, kSmallestSigma, kSmallestSigma}};
    unsigned seed = 7;
    for (const ImageCase& c : cases) {
        const Image in = c.image(++seed);
        const Image expected =
            testing::referenceFilter(in, c.width, c.height, c.sigmaSpatial, c.sigmaRange);
        const Image actual = filterVectorised(in, c.width, c.height, c.sigmaSpatial, c.sigmaRange);
        const auto difference = testing::compareImages(actual, expected);
        EXPECT_LE(difference.largest, kReferenceTolerance) << c.width << " x " << c.height;
        EXPECT_LE(difference.differingBytes, in.size() / 100) << c.width << " x " << c.height;
    }
}

// The last stripe of an odd height has an odd row count, and its last row is filtered alone.
TEST_F(VectorisedFilter, FiltersStripesWithOddRowCounts) {
    for (const int height : {17, 19, 31}) {
        // 40 pixels and 8 of padding per row: the filter covers the padding too.
        const Image padded =
            testing::withPitch(testing::photoLikeImage(40, height, 3), 40, height, 192);
        CRBFilterAVX2 filter;
        ASSERT_TRUE(filter.initialize(40, height));
        filter.setSigma(0.04f, 0.1f);
        Image out(padded.size());
        ASSERT_TRUE(filter.filter(out.data(), padded.data(), 40, height, 192));
        const Image expected = testing::referenceFilter(padded, 48, height, 0.04f, 0.1f);
        const auto difference = testing::compareImages(out, expected);
        EXPECT_LE(difference.largest, kReferenceTolerance) << "height " << height;
    }
}

}  // namespace
}  // namespace velvix
