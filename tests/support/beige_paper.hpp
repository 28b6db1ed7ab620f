#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace velvix::testing {

// A value from 0 to 1 for each lattice point.
inline float lattice(int x, int y, std::uint32_t seed) {
    std::uint32_t h = static_cast<std::uint32_t>(x) * 0x8DA6B343u ^
                      static_cast<std::uint32_t>(y) * 0xD8163841u ^ seed * 0xCB1AB31Fu;
    h ^= h >> 13;
    h *= 0x5BD1E995u;
    h ^= h >> 15;
    return static_cast<float>(h & 0xFFFFu) / 65535.0f;
}

// Lattice values blended smoothly in between.
inline float valueNoise(float x, float y, std::uint32_t seed) {
    const float fx = std::floor(x);
    const float fy = std::floor(y);
    const int ix = static_cast<int>(fx);
    const int iy = static_cast<int>(fy);
    const auto smooth = [](float t) { return t * t * (3 - 2 * t); };
    const float tx = smooth(x - fx);
    const float ty = smooth(y - fy);
    const float top = lattice(ix, iy, seed) * (1 - tx) + lattice(ix + 1, iy, seed) * tx;
    const float bottom = lattice(ix, iy + 1, seed) * (1 - tx) + lattice(ix + 1, iy + 1, seed) * tx;
    return top * (1 - ty) + bottom * ty;
}

inline std::uint8_t paperByte(float value) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// A skin-coloured paper, as a beige wall or a sheet behind a person would give: a slow wash,
// fibres running mostly across, and grain, a few grey levels each. Red, green and blue of the
// pixel at column x and row y (any orientation); nearly every pixel passes the skin test.
inline std::array<std::uint8_t, 3> beigePaper(int x, int y) {
    const auto fx = static_cast<float>(x);
    const auto fy = static_cast<float>(y);
    const float wash = 10 * (valueNoise(fx / 110, fy / 110, 1) - 0.5f);
    const float fibres = 8 * (valueNoise(fx / 12, fy / 2.5f, 2) - 0.5f);
    const float grain = 6 * (lattice(x, y, 3) - 0.5f);
    const float shade = wash + fibres + grain;
    return {paperByte(212 + shade), paperByte(181 + 0.95f * shade), paperByte(149 + 0.9f * shade)};
}

}  // namespace velvix::testing
