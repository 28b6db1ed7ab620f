#include "mjpg_decoder.hpp"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

namespace velvix {
namespace {

struct Photo {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // red, green, blue; top row first
};

Photo testPhoto() {
    Photo photo;
    int channels = 0;
    const std::unique_ptr<stbi_uc, decltype(&stbi_image_free)> pixels(
        stbi_load(VELVIX_DEMO_PHOTO, &photo.width, &photo.height, &channels, 3), stbi_image_free);
    if (pixels) {
        photo.rgb.assign(pixels.get(), pixels.get() + photo.width * photo.height * 3);
    }
    return photo;
}

// As a webcam codes its frames: 4:2:2 chroma, a middling quality.
std::vector<std::uint8_t> cameraJpeg(const Photo& photo) {
    const std::unique_ptr<void, decltype(&tjDestroy)> coder(tjInitCompress(), tjDestroy);
    unsigned char* jpeg = nullptr;
    unsigned long length = 0;
    if (tjCompress2(coder.get(), photo.rgb.data(), photo.width, 0, photo.height, TJPF_RGB, &jpeg,
                    &length, TJSAMP_422, 85, 0) != 0) {
        return {};
    }
    std::vector<std::uint8_t> bytes(jpeg, jpeg + length);
    tjFree(jpeg);
    return bytes;
}

// The mean difference per channel between a decoded frame (blue, green, red; bottom row first)
// and the photo. A frame upside down or with red and blue swapped is far off.
double meanDifference(const std::vector<std::uint8_t>& decoded, const Photo& photo) {
    double sum = 0;
    for (int y = 0; y < photo.height; ++y) {
        const std::uint8_t* out = decoded.data() + (photo.height - 1 - y) * photo.width * 3;
        const std::uint8_t* in = photo.rgb.data() + y * photo.width * 3;
        for (int x = 0; x < photo.width; ++x, out += 3, in += 3) {
            sum += std::abs(out[0] - in[2]) + std::abs(out[1] - in[1]) + std::abs(out[2] - in[0]);
        }
    }
    return sum / (3.0 * photo.width * photo.height);
}

TEST(MjpgDecoder, DecodesACameraFrameRightSideUpInItsColours) {
    const Photo photo = testPhoto();
    ASSERT_FALSE(photo.rgb.empty());
    const auto jpeg = cameraJpeg(photo);
    ASSERT_FALSE(jpeg.empty());

    v4l2::MjpgDecoder decoder;
    std::vector<std::uint8_t> frame;
    for (int repeat = 0; repeat < 2; ++repeat) {  // the second frame reuses the storage
        ASSERT_TRUE(decoder.decode(jpeg.data(), jpeg.size(), photo.width, photo.height, frame))
            << decoder.problem();
        ASSERT_EQ(frame.size(), photo.rgb.size());
        EXPECT_LT(meanDifference(frame, photo), 3.0);
    }

    Photo turned = photo;
    for (int y = 0; y < photo.height; ++y) {
        std::copy_n(photo.rgb.begin() + (photo.height - 1 - y) * photo.width * 3, photo.width * 3,
                    turned.rgb.begin() + y * photo.width * 3);
    }
    EXPECT_GT(meanDifference(frame, turned), 20.0);
}

// Cameras send damaged frames; each is refused whole and the next good one decodes.
TEST(MjpgDecoder, RefusesDamagedFramesWhole) {
    const Photo photo = testPhoto();
    const auto jpeg = cameraJpeg(photo);
    ASSERT_FALSE(jpeg.empty());

    std::vector<std::uint8_t> cutShort(jpeg.begin(), jpeg.begin() + jpeg.size() / 2);
    std::vector<std::uint8_t> garbage(jpeg.size());
    for (std::size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
    }
    std::vector<std::uint8_t> scrambled = jpeg;
    for (std::size_t i = jpeg.size() / 3; i < jpeg.size() / 3 + 64; ++i) {
        scrambled[i] = 0xFF;
    }
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        int width;
        int height;
    };
    const Case cases[] = {
        {"cut short", cutShort, photo.width, photo.height},
        {"another size than the stream's", jpeg, photo.width * 2, photo.height},
        {"garbage", garbage, photo.width, photo.height},
        {"markers in its data", scrambled, photo.width, photo.height},
        {"headers only", std::vector<std::uint8_t>(jpeg.begin(), jpeg.begin() + 700), photo.width,
         photo.height},
    };
    v4l2::MjpgDecoder decoder;
    std::vector<std::uint8_t> frame;
    for (const Case& bad : cases) {
        EXPECT_FALSE(
            decoder.decode(bad.bytes.data(), bad.bytes.size(), bad.width, bad.height, frame))
            << bad.what;
        EXPECT_FALSE(decoder.problem().empty()) << bad.what;
    }
    EXPECT_FALSE(decoder.decode(jpeg.data(), 0, photo.width, photo.height, frame));
    EXPECT_TRUE(decoder.decode(jpeg.data(), jpeg.size(), photo.width, photo.height, frame));
}

}  // namespace
}  // namespace velvix
