#include "velvix/filters/resize_bilinear.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <vector>

#include "filter_images.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes randomBytes(std::size_t count, unsigned seed) {
    Bytes bytes(count);
    std::mt19937 random(seed);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

struct Resize {
    int srcWidth;
    int srcHeight;
    int dstWidth;
    int dstHeight;
};

// Resizes a random picture with tightly packed rows.
Bytes resized(const Resize& r, const Bytes& source) {
    Bytes destination(static_cast<std::size_t>(r.dstWidth) * r.dstHeight * 3);
    resizeBilinear(packedPicture(source.data(), {r.srcWidth, r.srcHeight}, 3),
                   packedPicture(destination.data(), {r.dstWidth, r.dstHeight}, 3));
    return destination;
}

using ResizeBothPaths = testing::BothPathsTest;

TEST_P(ResizeBothPaths, AReductionByFourAveragesTheMiddleTwoByTwo) {
    const Resize r{512, 96, 128, 24};
    const Bytes source = randomBytes(512 * 96 * 3, 1);
    const Bytes destination = resized(r, source);
    const auto at = [&](int x, int y, int c) {
        return int{source[(static_cast<std::size_t>(y) * 512 + x) * 3 + c]};
    };
    for (int y = 0; y < r.dstHeight; ++y) {
        for (int x = 0; x < r.dstWidth; ++x) {
            for (int c = 0; c < 3; ++c) {
                const int sum = at(4 * x + 1, 4 * y + 1, c) + at(4 * x + 2, 4 * y + 1, c) +
                                at(4 * x + 1, 4 * y + 2, c) + at(4 * x + 2, 4 * y + 2, c);
                ASSERT_EQ(destination[(static_cast<std::size_t>(y) * 128 + x) * 3 + c],
                          (sum + 2) / 4)
                    << x << ", " << y << ", channel " << c;
            }
        }
    }
}

TEST_P(ResizeBothPaths, TheSameSizeIsTheIdentity) {
    const Resize r{70, 41, 70, 41};
    const Bytes source = randomBytes(70 * 41 * 3, 2);
    EXPECT_EQ(resized(r, source), source);
}

TEST_P(ResizeBothPaths, WritesNothingPastTheRowsWidth) {
    const Bytes source = randomBytes(100 * 50 * 3, 3);
    constexpr int kStride = 32 * 3 + 40;
    Bytes destination(kStride * 20, 0xEE);
    resizeBilinear({source.data(), 100, 50, 300}, {destination.data(), 32, 20, kStride});
    for (int y = 0; y < 20; ++y) {
        for (int i = 96; i < kStride; ++i) {
            ASSERT_EQ(destination[static_cast<std::size_t>(y) * kStride + i], 0xEE)
                << "row " << y << ", byte " << i;
        }
    }
    EXPECT_NE(destination[0], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(BothPaths, ResizeBothPaths, ::testing::Bool(),
                         [](const auto& parameter) { return parameter.param ? "avx2" : "plain"; });

TEST(ResizeBilinear, VectorisedAndPlainPathsGiveTheSameBytes) {
    if (!hasAVX2) {
        GTEST_SKIP() << "this processor has no AVX2";
    }
    const Resize cases[] = {{1280, 720, 320, 180}, {100, 77, 33, 150}, {640, 480, 47, 31},
                            {37, 5, 64, 9},        {2, 2, 32, 3},      {333, 201, 111, 67}};
    unsigned seed = 10;
    for (const Resize& r : cases) {
        const Bytes source =
            randomBytes(static_cast<std::size_t>(r.srcWidth) * r.srcHeight * 3, ++seed);
        const Bytes vectorised = resized(r, source);
        const Avx2Choice scalar(false);
        EXPECT_EQ(resized(r, source), vectorised)
            << r.srcWidth << " x " << r.srcHeight << " to " << r.dstWidth << " x " << r.dstHeight;
    }
}

TEST(ComputeResizeTable, FollowsTheSixteenthsRule) {
    std::int32_t indexes[6];
    std::int32_t weights[6];
    computeResizeTable(8, 2, indexes, weights);
    EXPECT_EQ(std::vector(indexes, indexes + 2), (std::vector<std::int32_t>{1, 5}));
    EXPECT_EQ(std::vector(weights, weights + 2), (std::vector<std::int32_t>{8, 8}));

    // Enlarging: clamped at both ends, the last index with the full weight of its neighbour.
    computeResizeTable(3, 6, indexes, weights);
    EXPECT_EQ(std::vector(indexes, indexes + 6), (std::vector<std::int32_t>{0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(std::vector(weights, weights + 6), (std::vector<std::int32_t>{0, 4, 12, 4, 12, 16}));
}

// The vectorised filter loads whole cache lines: the payload starts on one, zeroed.
TEST(GuardedBlock, GivesAZeroedPayloadOnACacheLine) {
    GuardedBlock block(100);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.payload()) % 64, 0u);
    EXPECT_EQ(std::vector(block.payload(), block.payload() + 100),
              std::vector<std::uint8_t>(100, 0));
}

}  // namespace
}  // namespace velvix
