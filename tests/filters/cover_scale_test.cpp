#include "velvix/filters/cover_scale.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "filter_images.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

using testing::Image;
using testing::randomImage;

Image scaled(FrameSize from, FrameSize to, const Image& source) {
    Image out(static_cast<std::size_t>(to.pixels()) * 4);
    CoverScaler scaler(from, to);
    scaler.scale(source.data(), out.data());
    return out;
}

// The picture scaled by s = the larger of the two side ratios, so that it covers the
// destination, shifted so that its middle lies on the destination's middle, and sampled at
// each destination pixel's centre with exact bilinear weights; samples past an edge take the
// edge pixel.
std::vector<double> floatReference(FrameSize from, FrameSize to, const Image& source) {
    const double s = std::max(static_cast<double>(to.width) / from.width,
                              static_cast<double>(to.height) / from.height);
    const double left = (from.width * s - to.width) / 2;
    const double top = (from.height * s - to.height) / 2;
    const auto at = [&](int x, int y, int c) {
        return static_cast<double>(source[(static_cast<std::size_t>(y) * from.width + x) * 4 + c]);
    };
    std::vector<double> out;
    for (int y = 0; y < to.height; ++y) {
        const double sy = std::clamp((y + top + 0.5) / s - 0.5, 0.0, from.height - 1.0);
        const int y0 = static_cast<int>(sy);
        const int y1 = std::min(y0 + 1, from.height - 1);
        const double fy = sy - y0;
        for (int x = 0; x < to.width; ++x) {
            const double sx = std::clamp((x + left + 0.5) / s - 0.5, 0.0, from.width - 1.0);
            const int x0 = static_cast<int>(sx);
            const int x1 = std::min(x0 + 1, from.width - 1);
            const double fx = sx - x0;
            for (int c = 0; c < 4; ++c) {
                const double upper = at(x0, y0, c) * (1 - fx) + at(x1, y0, c) * fx;
                const double lower = at(x0, y1, c) * (1 - fx) + at(x1, y1, c) * fx;
                out.push_back(upper * (1 - fy) + lower * fy);
            }
        }
    }
    return out;
}

using CoverScaleBothPaths = testing::BothPathsTest;

TEST_P(CoverScaleBothPaths, RandomPicturesOfAnySizeMatchAFloatReference) {
    // The camera sizes of the goal at a tenth, and odd sizes: one-pixel sides, widths that
    // are no multiple of the vector steps, enlargement and reduction on different axes.
    const std::vector<std::pair<FrameSize, FrameSize>> cases = {
        {{64, 48}, {128, 72}}, {{192, 108}, {128, 72}}, {{37, 23}, {64, 17}},
        {{1, 1}, {5, 3}},      {{1, 9}, {7, 4}},        {{9, 1}, {4, 7}},
        {{3, 200}, {101, 13}}, {{333, 77}, {50, 50}},   {{2, 2}, {33, 31}},
        {{130, 7}, {9, 130}},  {{400, 90}, {20, 30}},
    };
    unsigned seed = 1;
    std::size_t exact = 0;
    std::size_t bytes = 0;
    for (const auto& [from, to] : cases) {
        const Image source = randomImage(from.width, from.height, seed++);
        const Image out = scaled(from, to, source);
        const std::vector<double> reference = floatReference(from, to, source);
        for (std::size_t i = 0; i < out.size(); ++i) {
            ASSERT_LE(std::abs(out[i] - reference[i]), 0.52)
                << from.width << "x" << from.height << " to " << to.width << "x" << to.height
                << ", byte " << i;
            exact += out[i] == std::lround(reference[i]) ? 1 : 0;
        }
        bytes += out.size();
    }
    // Off by one only where the exact value lies within a hair of a half.
    EXPECT_GE(static_cast<double>(exact), 0.99 * static_cast<double>(bytes));
}

TEST_P(CoverScaleBothPaths, ExactCases) {
    // The same size is a copy.
    const Image source = randomImage(37, 23, 5);
    EXPECT_EQ(scaled({37, 23}, {37, 23}, source), source);

    // Twice the size of a flat picture stays flat.
    const Image flat = testing::flatImage(640, 480, 0xff'30'a0'c7);
    EXPECT_EQ(scaled({640, 480}, {1280, 960}, flat), testing::flatImage(1280, 960, 0xff'30'a0'c7));

    // Half the size averages each 2 x 2 block, rounding halves up.
    const Image big = randomImage(66, 34, 6);
    const Image halved = scaled({66, 34}, {33, 17}, big);
    for (int y = 0; y < 17; ++y) {
        for (int x = 0; x < 33; ++x) {
            for (int c = 0; c < 4; ++c) {
                const auto at = [&](int sx, int sy) { return int{big[(sy * 66 + sx) * 4 + c]}; };
                const int sum = at(2 * x, 2 * y) + at(2 * x + 1, 2 * y) + at(2 * x, 2 * y + 1) +
                                at(2 * x + 1, 2 * y + 1);
                ASSERT_EQ(halved[(y * 33 + x) * 4 + c], (sum + 2) / 4) << x << ", " << y;
            }
        }
    }
}

TEST(CoverScale, BothPathsGiveTheSameBytes) {
    if (!avx2FromCpuInfo(cpuInfo)) {
        GTEST_SKIP() << "the processor has no AVX2";
    }
    for (const auto& [from, to] : std::vector<std::pair<FrameSize, FrameSize>>{
             {{640, 480}, {1280, 720}}, {{1920, 1080}, {1280, 720}}, {{37, 23}, {67, 13}}}) {
        const Image source = randomImage(from.width, from.height, 9);
        Image vectorised;
        {
            const Avx2Choice avx2(true);
            vectorised = scaled(from, to, source);
        }
        const Avx2Choice plain(false);
        EXPECT_EQ(scaled(from, to, source), vectorised) << from.width << " to " << to.width;
    }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, CoverScaleBothPaths, ::testing::Bool(),
                         [](const auto& parameter) { return parameter.param ? "avx2" : "plain"; });

}  // namespace
}  // namespace velvix
