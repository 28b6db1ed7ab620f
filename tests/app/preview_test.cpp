#include "preview.hpp"

#include <gtest/gtest.h>
#include <stb_image.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <thread>

namespace velvix {
namespace {

// A frame as the worker has it: blue, green, red, bottom row first. Red rises to the right,
// green from the top down, blue is `blue`.
std::vector<std::uint8_t> gradientFrame(FrameSize size, std::uint8_t blue) {
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(size.pixels()) * 3);
    for (int row = 0; row < size.height; ++row) {
        const int fromTop = size.height - 1 - row;
        for (int column = 0; column < size.width; ++column) {
            std::uint8_t* pixel = &frame[(static_cast<std::size_t>(row) * size.width + column) * 3];
            pixel[0] = blue;
            pixel[1] = static_cast<std::uint8_t>(fromTop * 255 / std::max(size.height - 1, 1));
            pixel[2] = static_cast<std::uint8_t>(column * 255 / std::max(size.width - 1, 1));
        }
    }
    return frame;
}

struct Decoded {
    FrameSize size;
    std::vector<std::uint8_t> rgb;  // top row first
};

Decoded decodeJpeg(const std::string& file) {
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* pixels =
        stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(file.data()),
                              static_cast<int>(file.size()), &width, &height, &channels, 3);
    Decoded decoded{{width, height}, {pixels, pixels + std::size_t(width) * height * 3}};
    stbi_image_free(pixels);
    return decoded;
}

// The mean difference of the decoded preview of gradientFrame(frame, blue) from the gradient
// itself, sampled where each preview pixel's centre falls in the frame.
double differenceFromGradient(const Decoded& preview, FrameSize frame, std::uint8_t blue) {
    double sum = 0;
    for (int y = 0; y < preview.size.height; ++y) {
        const double frameY = (y + 0.5) * frame.height / preview.size.height - 0.5;
        const double green = std::clamp(frameY, 0.0, frame.height - 1.0) * 255 / (frame.height - 1);
        for (int x = 0; x < preview.size.width; ++x) {
            const double frameX = (x + 0.5) * frame.width / preview.size.width - 0.5;
            const double red = std::clamp(frameX, 0.0, frame.width - 1.0) * 255 / (frame.width - 1);
            const std::uint8_t* pixel =
                &preview.rgb[(static_cast<std::size_t>(y) * preview.size.width + x) * 3];
            sum +=
                std::abs(pixel[0] - red) + std::abs(pixel[1] - green) + std::abs(pixel[2] - blue);
        }
    }
    return sum / (static_cast<double>(preview.size.pixels()) * 3);
}

// Each picture is upright and in the frame's colours, within the box at the frame's aspect ratio.
TEST(PanelPreview, KeepsTheAspectRatioOfAnyFrameSizeWithinItsBox) {
    for (const auto& [frame, expected] :
         std::vector<std::pair<FrameSize, FrameSize>>{{{1280, 720}, {288, 162}},
                                                      {{640, 480}, {288, 216}},
                                                      {{720, 1280}, {122, 216}},
                                                      {{3, 3}, {216, 216}}}) {
        EXPECT_EQ(previewSize(frame), expected) << frame.width << " x " << frame.height;
        const auto pixels = gradientFrame(frame, 90);
        PanelPreview preview;
        preview.newJpeg(PreviewPicture::smoothed);
        preview.published(pixels.data(), frame);
        const auto jpeg = preview.newJpeg(PreviewPicture::smoothed);
        ASSERT_TRUE(jpeg);
        const Decoded picture = decodeJpeg(*jpeg);
        EXPECT_EQ(picture.size, expected);
        if (frame.width >= 16 && frame.height >= 16) {
            EXPECT_LT(differenceFromGradient(picture, frame, 90), 2.0);
        }
    }
}

// Every picture is one whole frame of the two the worker alternates, never parts of both, and
// the thread sanitizer sees the two threads share nothing unguarded.
TEST(PanelPreview, GivesWholeFramesWhileTheWorkerKeepsCopying) {
    const FrameSize size{640, 360};
    const std::vector<std::vector<std::uint8_t>> frames{gradientFrame(size, 40),
                                                        gradientFrame(size, 200)};
    PanelPreview preview;
    preview.newJpeg(PreviewPicture::smoothed);
    std::atomic<bool> stop{false};
    std::jthread worker([&] {
        for (std::size_t frame = 0; !stop.load(); ++frame) {
            preview.published(frames[frame % 2].data(), size);
        }
    });
    int pictures = 0;
    while (pictures < 20) {
        const auto jpeg = preview.newJpeg(PreviewPicture::smoothed);
        if (!jpeg) {
            continue;
        }
        const Decoded picture = decodeJpeg(*jpeg);
        const double fromDark = differenceFromGradient(picture, size, 40);
        const double fromLight = differenceFromGradient(picture, size, 200);
        ASSERT_LT(std::min(fromDark, fromLight), 2.0) << "picture " << pictures;
        ++pictures;
    }
    stop = true;
}

}  // namespace
}  // namespace velvix
