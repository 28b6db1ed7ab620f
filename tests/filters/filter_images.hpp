#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "velvix/platform/cpu_info.hpp"

namespace velvix::testing {

using Image = std::vector<std::uint8_t>;

// width x height pixels of 4 bytes, every byte random.
Image randomImage(int width, int height, unsigned seed);

// Smooth skin-like and background gradients with mild noise and a few hard edges, 4 bytes per
// pixel in the filter layout (blue, green, red, 255).
Image photoLikeImage(int width, int height, unsigned seed);

// A test run twice: with the vectorised paths (parameter true, skipped without AVX2) and with
// the scalar paths forced.
class BothPathsTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override;
    bool vectorised() const { return GetParam(); }

  private:
    std::optional<Avx2Choice> scalar_;
};

}  // namespace velvix::testing
