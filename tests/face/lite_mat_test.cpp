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

// Copies share one zeroed buffer that lives as long as the last of them; external pixels are
// neither counted nor freed (the sanitizers see a double free or a leak).
TEST(LiteMat, CopiesShareTheBufferAndExternalPixelsStayTheCallers) {
    LiteMat first(LiteMat::kUint8, 3, 5);
    EXPECT_EQ(std::vector(first.data(), first.data() + 15), std::vector<std::uint8_t>(15, 0));
    {
        const LiteMat second = first;
        LiteMat third;
        third = second;
        EXPECT_EQ(third.data(), first.data());
        EXPECT_EQ(first.referenceCount(), 3);
    }
    EXPECT_EQ(first.referenceCount(), 1);
    const LiteMat moved = std::move(first);
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(moved.referenceCount(), 1);

    std::uint8_t pixels[6] = {1, 2, 3, 4, 5, 6};
    const LiteMat image = LiteMat::external(LiteMat::kUint8, 2, 3, pixels);
    { const LiteMat copy = image; }
    EXPECT_EQ(image.byteAt(1, 2), 6);
}

// Worked by hand: x = 1, 2, 3, 4 and y = 2x give var x = 1.25, var y = 5, cov = 2.5.
TEST(LiteMat, ProductTransposeAndCovarianceAgreeWithHandWorkedValues) {
    const LiteMat a = floats(2, 3, {1, 2, 3, 4, 5, 6});
    const LiteMat ab = a.product(floats(3, 2, {7, 8, 9, 10, 11, 12}));
    ASSERT_EQ(ab.rows(), 2);
    ASSERT_EQ(ab.cols(), 2);
    EXPECT_EQ((std::vector{ab.at(0, 0), ab.at(0, 1), ab.at(1, 0), ab.at(1, 1)}),
              (std::vector<float>{58, 64, 139, 154}));
    EXPECT_FLOAT_EQ(a.transposed().at(2, 1), 6);
    EXPECT_FLOAT_EQ(floats(2, 2, {3, 0, 0, 4}).frobeniusNorm(), 5);
    const LiteMat c = floats(4, 2, {1, 2, 2, 4, 3, 6, 4, 8}).covariance();
    EXPECT_EQ((std::vector{c.at(0, 0), c.at(0, 1), c.at(1, 0), c.at(1, 1)}),
              (std::vector<float>{1.25f, 2.5f, 2.5f, 5.0f}));
    EXPECT_THROW(LiteMat(LiteMat::kFloat32, -1, 4), std::bad_alloc);
    EXPECT_THROW(LiteMat(LiteMat::kFloat32, 2'000'000'000, 2'000'000'000), std::bad_alloc);
}

}  // namespace
}  // namespace velvix
