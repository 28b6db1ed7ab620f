#include "velvix/face/landmark_layout.hpp"

namespace velvix {
namespace {

constexpr std::array<std::uint8_t, 98> mirrorMap() {
    std::array<std::uint8_t, 98> map{};
    for (int k = 0; k < 98; ++k) {
        map[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(k);
    }
    auto pair = [&map](int a, int b) {
        map[static_cast<std::size_t>(a)] = static_cast<std::uint8_t>(b);
        map[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(a);
    };
    for (int k = 0; k < 16; ++k) {
        pair(k, 32 - k);  // face contour, round the chin (16)
    }
    for (int k = 0; k < 5; ++k) {
        pair(33 + k, 46 - k);  // upper brow edges, outer to inner against inner to outer
    }
    for (int k = 0; k < 4; ++k) {
        pair(38 + k, 50 - k);  // lower brow edges
    }
    pair(55, 59);  // lower nose
    pair(56, 58);
    for (int k = 0; k < 5; ++k) {
        pair(60 + k, 72 - k);  // eye corners and upper lids
    }
    for (int k = 0; k < 3; ++k) {
        pair(65 + k, 75 - k);  // lower lids
    }
    for (int k = 0; k < 3; ++k) {
        pair(76 + k, 82 - k);  // outer lip, upper half
        pair(83 + k, 87 - k);  // outer lip, lower half (85 is its own partner)
    }
    pair(88, 92);  // inner lip
    pair(89, 91);
    pair(93, 95);
    pair(96, 97);  // pupils
    return map;
}

}  // namespace

const std::array<std::uint8_t, 98> kMirroredLandmark = mirrorMap();

}  // namespace velvix
