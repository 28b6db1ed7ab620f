#include "velvix/filters/bilinear_scale.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#include "filter_images.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

using testing::Image;

enum class Fit { cover, whole };  // the destination covered by the middle, or the whole picture

struct Scaling {
    FrameSize from;
    FrameSize to;
    int bytesPerPixel;
    Fit fit;
};

Image randomPixels(FrameSize size, int bytesPerPixel, unsigned seed) {
    Image image = testing::randomImage(size.width, size.height, seed);
    image.resize(static_cast<std::size_t>(size.pixels()) * bytesPerPixel);
    return image;
}

Image scaled(const Scaling& s, const Image& source) {
    Image out(static_cast<std::size_t>(s.to.pixels()) * s.bytesPerPixel);
    const SourceArea area = s.fit == Fit::cover ? coveringArea(s.from, s.to) : wholeArea(s.from);
    BilinearScaler(s.from, area, s.to, s.bytesPerPixel)
        .scale(packedPicture<const std::uint8_t>(source.data(), s.from, s.bytesPerPixel),
               packedPicture(out.data(), s.to, s.bytesPerPixel));
    return out;
}

// The picture scaled by its own factor on each side (for a cover both are the larger of the
// two side ratios, and the picture is shifted so that its middle lies on the destination's
// middle), sampled at each destination pixel's centre with exact bilinear weights; samples
// past an edge take the edge pixel.
std::vector<double> floatReference(const Scaling& s, const Image& source) {
    const auto [from, to, bytes, fit] = s;
    const double coverScale =
        std::max(double(to.width) / from.width, double(to.height) / from.height);
    const double sx = fit == Fit::cover ? coverScale : double(to.width) / from.width;
    const double sy = fit == Fit::cover ? coverScale : double(to.height) / from.height;
    // The source position of destination pixel n on a side, split into a pixel and a fraction.
    const auto sample = [](int n, double scale, int fromSide, int toSide) {
        const double shift = (fromSide * scale - toSide) / 2;
        const double p = std::clamp((n + shift + 0.5) / scale - 0.5, 0.0, fromSide - 1.0);
        const int first = static_cast<int>(p);
        return std::tuple{first, std::min(first + 1, fromSide - 1), p - first};
    };
    const auto at = [&](int x, int y, int c) {
        return static_cast<double>(
            source[(static_cast<std::size_t>(y) * from.width + x) * bytes + c]);
    };
    std::vector<double> out;
    for (int y = 0; y < to.height; ++y) {
        const auto [y0, y1, fy] = sample(y, sy, from.height, to.height);
        for (int x = 0; x < to.width; ++x) {
            const auto [x0, x1, fx] = sample(x, sx, from.width, to.width);
            for (int c = 0; c < bytes; ++c) {
                out.push_back((at(x0, y0, c) * (1 - fx) + at(x1, y0, c) * fx) * (1 - fy) +
                              (at(x0, y1, c) * (1 - fx) + at(x1, y1, c) * fx) * fy);
            }
        }
    }
    return out;
}

using BilinearScaleBothPaths = testing::BothPathsTest;

TEST_P(BilinearScaleBothPaths, RandomPicturesOfAnySizeMatchAFloatReference) {
    // A camera's picture filling the frame, the face step's quarter-size copy, the same size,
    // halves and quarters, and odd sizes: one-pixel sides, widths that are no multiple of the
    // vector steps, enlargement and reduction on different axes.
    const std::vector<Scaling> cases = {
        {{64, 48}, {128, 72}, 4, Fit::cover},     {{37, 23}, {64, 17}, 4, Fit::cover},
        {{1, 1}, {5, 3}, 4, Fit::cover},          {{9, 1}, {4, 7}, 4, Fit::cover},
        {{3, 200}, {101, 13}, 4, Fit::cover},     {{2, 2}, {33, 31}, 4, Fit::cover},
        {{130, 7}, {9, 130}, 4, Fit::cover},      {{400, 90}, {20, 30}, 4, Fit::whole},
        {{100, 77}, {33, 150}, 3, Fit::whole},    {{640, 480}, {47, 31}, 3, Fit::whole},
        {{1, 3}, {5, 1}, 3, Fit::whole},          {{37, 23}, {37, 23}, 4, Fit::whole},
        {{37, 23}, {37, 23}, 3, Fit::cover},      {{132, 68}, {66, 34}, 4, Fit::whole},
        {{132, 68}, {33, 17}, 3, Fit::whole},     {{640, 480}, {1280, 720}, 4, Fit::cover},
        {{1280, 720}, {320, 180}, 3, Fit::whole},
    };
    unsigned seed = 1;
    std::size_t exact = 0;
    std::size_t bytes = 0;
    for (const Scaling& s : cases) {
        const Image source = randomPixels(s.from, s.bytesPerPixel, seed++);
        const Image out = scaled(s, source);
        const std::vector<double> reference = floatReference(s, source);
        for (std::size_t i = 0; i < out.size(); ++i) {
            ASSERT_LE(std::abs(out[i] - reference[i]), 0.52)
                << s.from.width << "x" << s.from.height << " to " << s.to.width << "x"
                << s.to.height << ", " << s.bytesPerPixel << " bytes a pixel, byte " << i;
            exact += out[i] == std::lround(reference[i]) ? 1 : 0;
        }
        bytes += out.size();
    }
    // Off by one only where the exact value lies within a hair of a half.
    EXPECT_GE(static_cast<double>(exact), 0.99 * static_cast<double>(bytes));
}

TEST_P(BilinearScaleBothPaths, ReadsAndWritesOnlyThePicturesRows) {
    // Rows padded on both pictures: the padding of the source is never read into the result,
    // and that of the destination is left as it was.
    constexpr int kSourceStride = 100 * 3 + 20;
    constexpr int kStride = 32 * 3 + 40;
    const Image packed = randomPixels({100, 50}, 3, 3);
    Image padded(static_cast<std::size_t>(kSourceStride) * 50, 0xEE);
    for (int y = 0; y < 50; ++y) {
        std::copy_n(&packed[static_cast<std::size_t>(y) * 300], 300, &padded[y * kSourceStride]);
    }
    Image destination(kStride * 20, 0xEE);
    resizeBilinear({padded.data(), 100, 50, kSourceStride}, {destination.data(), 32, 20, kStride});
    const Image expected = scaled({{100, 50}, {32, 20}, 3, Fit::whole}, packed);
    for (int y = 0; y < 20; ++y) {
        const auto row = destination.begin() + y * kStride;
        ASSERT_TRUE(std::equal(row, row + 96, expected.begin() + y * 96)) << "row " << y;
        ASSERT_TRUE(std::all_of(row + 96, row + kStride, [](auto b) { return b == 0xEE; }))
            << "row " << y;
    }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, BilinearScaleBothPaths, ::testing::Bool(),
                         [](const auto& parameter) { return parameter.param ? "avx2" : "plain"; });

}  // namespace
}  // namespace velvix
