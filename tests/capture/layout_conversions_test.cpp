#include "layout_conversions.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace velvix {
namespace {

struct Rgb {
    int red;
    int green;
    int blue;
};

// The YUV formula worked out directly, without tables.
Rgb referenceRgb(int luma, int u, int v) {
    const auto clamp = [](long long scaled) {
        return static_cast<int>(std::clamp<long long>(scaled >> 16, 0, 255));
    };
    const long long y = 76309LL * (luma - 16);
    return {clamp(y + 104597LL * (v - 128)), clamp(y - 53279LL * (v - 128) - 25675LL * (u - 128)),
            clamp(y + 132201LL * (u - 128))};
}

// Random bytes, which reach both clamps of the formula.
std::vector<std::uint8_t> randomBytes(std::size_t count, std::mt19937& random) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<std::uint8_t> values(count);
    for (auto& value : values) {
        value = static_cast<std::uint8_t>(byte(random));
    }
    return values;
}

// `pixel` holds red, green and blue at these offsets.
void expectPixel(const std::uint8_t* pixel, int red, int blue, Rgb expected) {
    ASSERT_EQ(pixel[red], expected.red);
    ASSERT_EQ(pixel[1], expected.green);
    ASSERT_EQ(pixel[blue], expected.blue);
}

// Rows of every width around the vectorised steps of eight, odd ones included, from buffers of
// exactly their size, so that the sanitizer build sees any read past the end: YUV 4:2:0 against
// the formula, RGB24 (blue first) shuffled into capture pixels.
TEST(LayoutConversions, AgreeWithTheReferencesAtEveryWidth) {
    std::mt19937 random(1234);
    for (int width = 1; width <= 42; ++width) {
        const auto luma = randomBytes(width, random);
        const auto u = randomBytes((width + 1) / 2, random);
        const auto v = randomBytes((width + 1) / 2, random);
        const auto bgr = randomBytes(static_cast<std::size_t>(width) * 3, random);
        std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * 3);
        std::vector<std::uint8_t> capture(static_cast<std::size_t>(width) * 4);
        rgb24RowFromYuv420(luma.data(), u.data(), v.data(), width, rgb.data());
        convertToCaptureLayout(MediaSubtype::rgb24, bgr.data(), capture.data(), width, 1);
        for (int x = 0; x < width; ++x) {
            SCOPED_TRACE(std::to_string(width) + " wide, pixel " + std::to_string(x));
            expectPixel(&rgb[x * 3], 2, 0, referenceRgb(luma[x], u[x / 2], v[x / 2]));
            expectPixel(&capture[x * 4], 0, 2, {bgr[x * 3 + 2], bgr[x * 3 + 1], bgr[x * 3]});
            ASSERT_EQ(capture[x * 4 + 3], 255);
        }
    }
}

// Rows with padding after them, as drivers leave; the picture comes out bottom row first.
TEST(YuyvConversion, AgreesWithTheFormulaAndTurnsTheRowOrder) {
    constexpr int kWidth = 18;
    constexpr int kHeight = 5;
    constexpr std::size_t kStride = kWidth * 2 + 6;
    std::mt19937 random(99);
    const auto source = randomBytes(kStride * kHeight, random);
    std::vector<std::uint8_t> out(kWidth * kHeight * 3);
    rgb24FromYuyvBottomUp(source.data(), kStride, kWidth, kHeight, out.data());
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
            const std::uint8_t* pair = source.data() + y * kStride + x / 2 * 4;
            expectPixel(out.data() + ((kHeight - 1 - y) * kWidth + x) * 3, 2, 0,
                        referenceRgb(pair[x % 2 * 2], pair[1], pair[3]));
        }
    }
}

// NV12 comes out turned by 180 degrees: bottom row first and mirrored.
TEST(Nv12Conversion, AgreesWithTheFormulaAndTurnsThePicture) {
    constexpr int kWidth = 34;
    constexpr int kHeight = 6;
    std::mt19937 random(4711);
    const auto source = randomBytes(kWidth * kHeight * 3 / 2, random);
    std::vector<std::uint8_t> out(kWidth * kHeight * 4);
    convertNv12Turned(source.data(), out.data(), kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
            const std::uint8_t* chroma = &source[kWidth * (kHeight + y / 2) + x / 2 * 2];
            const std::uint8_t* pixel = &out[((kHeight - 1 - y) * kWidth + kWidth - 1 - x) * 4];
            expectPixel(pixel, 0, 2, referenceRgb(source[y * kWidth + x], chroma[0], chroma[1]));
            ASSERT_EQ(pixel[3], 255);
        }
    }
}

}  // namespace
}  // namespace velvix
