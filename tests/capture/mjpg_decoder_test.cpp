#include "mjpg_decoder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "camera_samples.hpp"

namespace velvix {
namespace {

using namespace testing;

// The frame without its Huffman tables (DHT segments), as many webcams send MJPG: the
// decoder must take the standard tables.
std::vector<std::uint8_t> withoutHuffmanTables(const std::vector<std::uint8_t>& jpeg) {
    std::vector<std::uint8_t> stripped(jpeg.begin(), jpeg.begin() + 2);
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
        const std::size_t end = at + 2 + (jpeg[at + 2] << 8 | jpeg[at + 3]);
        if (jpeg[at + 1] != 0xC4) {
            stripped.insert(stripped.end(), jpeg.begin() + at, jpeg.begin() + end);
        }
        at = end;
    }
    stripped.insert(stripped.end(), jpeg.begin() + at, jpeg.end());
    return stripped;
}

// Cameras send damaged frames; each is refused whole and the next good one decodes, right side
// up in its colours, with its own tables or with the standard ones.
TEST(MjpgDecoder, RefusesDamagedFramesWholeAndDecodesTheNextOne) {
    const Photo photo = testPhoto();
    const auto jpeg = cameraJpeg(photo);
    ASSERT_FALSE(jpeg.empty());

    std::vector<std::uint8_t> scrambled = jpeg;
    for (std::size_t i = jpeg.size() / 3; i < jpeg.size() / 3 + 64; ++i) {
        scrambled[i] = 0xFF;
    }
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        int width;
    };
    const Case cases[] = {
        {"cut short", {jpeg.begin(), jpeg.begin() + jpeg.size() / 2}, photo.width},
        {"another size than the stream's", jpeg, photo.width * 2},
        {"markers in its data", scrambled, photo.width},
        {"headers only", {jpeg.begin(), jpeg.begin() + 700}, photo.width},
    };
    MjpgDecoder decoder;
    std::vector<std::uint8_t> frame(std::size_t(photo.width) * 2 * photo.height * 4);
    for (const Case& bad : cases) {
        EXPECT_FALSE(decoder.decode(bad.bytes.data(), bad.bytes.size(), bad.width, photo.height,
                                    frame.data()))
            << bad.what;
        EXPECT_FALSE(decoder.problem().empty()) << bad.what;
    }
    EXPECT_FALSE(decoder.decode(jpeg.data(), 0, photo.width, photo.height, frame.data()));
    const auto bare = withoutHuffmanTables(jpeg);
    ASSERT_LT(bare.size(), jpeg.size());
    for (const auto& good : {jpeg, bare}) {
        std::fill(frame.begin(), frame.end(), 0);
        ASSERT_TRUE(
            decoder.decode(good.data(), good.size(), photo.width, photo.height, frame.data()))
            << decoder.problem();
        EXPECT_LT(meanDifference(frame.data(), photo), 3.0);
        EXPECT_EQ(frame[3], 255);
    }
}

}  // namespace
}  // namespace velvix
