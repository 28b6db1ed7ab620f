#include "filter_images.hpp"

#include <algorithm>
#include <cmath>
#include <random>

#include "velvix/platform/cpu_info.hpp"

namespace velvix::testing {

Image randomImage(int width, int height, unsigned seed) {
    Image image(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    std::mt19937 random(seed);
    for (auto& byte : image) {
        byte = static_cast<std::uint8_t>(random());
    }
    return image;
}

Image photoLikeImage(int width, int height, unsigned seed) {
    Image image;
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, 4.0f);
    const auto clampByte = [](float value) {
        return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float u = static_cast<float>(x) / static_cast<float>(width);
            const float v = static_cast<float>(y) / static_cast<float>(height);
            const bool face = (u - 0.5f) * (u - 0.5f) + (v - 0.5f) * (v - 0.5f) < 0.09f;
            const bool stripe = (x / 24) % 5 == 0;
            const float blue = face ? 120 + 30 * v : (stripe ? 40 : 180 - 60 * u);
            const float green = face ? 150 + 20 * u : (stripe ? 60 : 170 - 40 * v);
            const float red = face ? 205 - 25 * v : (stripe ? 200 : 120 + 50 * u);
            const float n = noise(random);
            for (const float value : {blue, green, red}) {
                image.push_back(clampByte(value + n));
            }
            image.push_back(255);
        }
    }
    return image;
}

void BothPathsTest::SetUp() {
    if (vectorised() && !hasAVX2) {
        GTEST_SKIP() << "this processor has no AVX2";
    }
    if (!vectorised()) {
        scalar_.emplace(false);
    }
}

}  // namespace velvix::testing
