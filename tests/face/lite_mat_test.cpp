#include "velvix/face/lite_mat.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace velvix {
namespace {

LiteMat floats(std::int32_t rows, std::int32_t cols, std::initializer_list<float> values) {
    LiteMat matrix(LiteMat::kFloat32, rows, cols);
    std::memcpy(matrix.data(), values.begin(), values.size() * sizeof(float));
    return matrix;
}

TEST(LiteMat, OwnedBuffersCountTheirSharesAheadOfTheData) {
    LiteMat first(LiteMat::kUint8, 3, 5);
    EXPECT_EQ(first.referenceCount(), 1);
    std::int32_t countAhead = 0;
    std::memcpy(&countAhead, first.data() - 4, 4);
    EXPECT_EQ(countAhead, 1);
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(first.data()[i], 0);
    }
    {
        const LiteMat second = first;
        EXPECT_EQ(second.data(), first.data());
        EXPECT_EQ(first.referenceCount(), 2);
        LiteMat third;
        third = second;
        EXPECT_EQ(first.referenceCount(), 3);
    }
    EXPECT_EQ(first.referenceCount(), 1);
    LiteMat moved = std::move(first);
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(moved.referenceCount(), 1);
    moved.release();
    EXPECT_TRUE(moved.empty());
}

TEST(LiteMat, ExternalMatricesNeitherCountNorFree) {
    std::uint8_t pixels[6] = {1, 2, 3, 4, 5, 6};
    const LiteMat image = LiteMat::external(LiteMat::kUint8, 2, 3, pixels);
    {
        const LiteMat copy = image;
        EXPECT_EQ(copy.referenceCount(), 0);
        EXPECT_TRUE(copy.isExternal());
    }
    EXPECT_EQ(image.byteAt(1, 2), 6);
    EXPECT_EQ(image.elementSize(), 1u);
}

TEST(LiteMat, Arithmetic) {
    const LiteMat a = floats(2, 3, {1, 2, 3, 4, 5, 6});
    const LiteMat b = floats(3, 2, {7, 8, 9, 10, 11, 12});
    const LiteMat ab = a.product(b);
    ASSERT_EQ(ab.rows(), 2);
    ASSERT_EQ(ab.cols(), 2);
    EXPECT_FLOAT_EQ(ab.at(0, 0), 58);
    EXPECT_FLOAT_EQ(ab.at(0, 1), 64);
    EXPECT_FLOAT_EQ(ab.at(1, 0), 139);
    EXPECT_FLOAT_EQ(ab.at(1, 1), 154);

    const LiteMat t = a.transposed();
    EXPECT_EQ(t.rows(), 3);
    EXPECT_FLOAT_EQ(t.at(2, 1), 6);
    EXPECT_FLOAT_EQ(a.times(2).at(1, 2), 12);
    EXPECT_FLOAT_EQ(a.plus(a).at(0, 1), 4);
    LiteMat halved = a.times(1);
    halved.divideInPlace(2);
    EXPECT_FLOAT_EQ(halved.at(1, 0), 2);
    EXPECT_FLOAT_EQ(floats(2, 2, {3, 0, 0, 4}).frobeniusNorm(), 5);
}

TEST(LiteMat, CovarianceOfTwoColumns) {
    // x = 1, 2, 3, 4 and y = 2x: var x = 1.25, var y = 5, cov = 2.5.
    const LiteMat points = floats(4, 2, {1, 2, 2, 4, 3, 6, 4, 8});
    const LiteMat c = points.covariance();
    EXPECT_FLOAT_EQ(c.at(0, 0), 1.25f);
    EXPECT_FLOAT_EQ(c.at(1, 1), 5.0f);
    EXPECT_FLOAT_EQ(c.at(0, 1), 2.5f);
    EXPECT_FLOAT_EQ(c.at(1, 0), 2.5f);
}

TEST(LiteMat, RefusesSizesThatCannotBeAllocated) {
    EXPECT_THROW(LiteMat(LiteMat::kFloat32, -1, 4), std::bad_alloc);
    EXPECT_THROW(LiteMat(LiteMat::kFloat32, 2'000'000'000, 2'000'000'000), std::bad_alloc);
}

}  // namespace
}  // namespace velvix
