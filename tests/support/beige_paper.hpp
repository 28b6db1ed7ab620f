#pragma once

#include <array>
#include <cstdint>

namespace velvix::testing {

// A skin-coloured paper, as a beige wall or a sheet behind a person would give: a slow wash,
// fibres running mostly across, and grain, a few grey levels each. Red, green and blue of the
// pixel at column x and row y (any orientation); nearly every pixel passes the skin test.
std::array<std::uint8_t, 3> beigePaper(int x, int y);

}  // namespace velvix::testing
