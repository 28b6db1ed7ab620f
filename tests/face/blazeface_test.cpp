#include "blazeface.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "portrait_clip.hpp"
#include "velvix/face/face_rectangle.hpp"
#include "velvix/platform/debug_output.hpp"

namespace velvix {
namespace {

std::string temporaryPath(const std::string& name) {
    return ::testing::TempDir() + "/velvix-" + std::to_string(getpid()) + "-" + name;
}

// A file that is not the published network, even one with a few bytes changed, is refused by
// its digest before OpenCV reads it, and leaves the program with the cascade and one line.
TEST(BlazeFaceDetector, ADamagedNetworkFileFallsBackToTheCascadeWithOneLine) {
    std::vector<std::pair<std::string, std::string>> files{
        {"garbage.onnx", std::string(4096, '\x5a')}};
    if (std::filesystem::exists(VELVIX_FACE_NETWORK)) {
        std::ifstream whole(VELVIX_FACE_NETWORK, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(whole)), {});
        files.emplace_back("half.onnx", bytes.substr(0, bytes.size() / 2));
        // Three bytes changed: OpenCV's importer crashed on such a file.
        for (const std::size_t at : {bytes.size() / 4, bytes.size() / 2, bytes.size() - 9}) {
            bytes[at] = static_cast<char>(~bytes[at]);
        }
        files.emplace_back("altered.onnx", bytes);
    }
    for (const auto& [name, bytes] : files) {
        const std::string path = temporaryPath(name);
        std::ofstream(path, std::ios::binary) << bytes;
        ::testing::internal::CaptureStderr();
        const auto detector = makeFaceDetector(path);
        const std::string said = ::testing::internal::GetCapturedStderr();
        std::filesystem::remove(path);
        EXPECT_EQ(detector->name(), "OpenCV cascade haarcascade_frontalface_alt2.xml") << name;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find(platform::printableLine(path) + " cannot be used"), std::string::npos)
            << said;
        EXPECT_NE(said.find("using the OpenCV cascade"), std::string::npos) << said;
        EXPECT_NE(said.find("its SHA-256 differs"), std::string::npos) << said;
    }
}

// The network through the face step's rules on the demo portrait placed into 1280 x 720
// frames, 100 and 250 pixels wide: one face, its box on the face; and no face on the empty
// background.
TEST(BlazeFaceDetector, FindsThePortraitsFaceFrom100PixelsUp) {
    if (!std::filesystem::exists(VELVIX_FACE_NETWORK)) {
        GTEST_SKIP() << VELVIX_FACE_NETWORK << " is missing (scripts/setup fetches it)";
    }
    auto loaded = loadBlazeFaceDetector(VELVIX_FACE_NETWORK, kBlazeFaceFullRange);
    ASSERT_TRUE(loaded) << loaded.error();
    const auto detector = std::move(*loaded);
    const testing::PortraitClip clip(VELVIX_DEMO_PHOTO);
    ASSERT_TRUE(clip.loaded());
    std::vector<std::uint8_t> small(320 * 180 * 3);
    const auto detectIn = [&](const std::vector<std::uint8_t>& frame) {
        // The quarter-size copy, upright (the face step's is mirrored, which the network does
        // not mind), by averaging 4 x 4 pixels.
        for (int y = 0; y < 180; ++y) {
            for (int x = 0; x < 320; ++x) {
                for (int c = 0; c < 3; ++c) {
                    int sum = 0;
                    for (int k = 0; k < 16; ++k) {
                        sum += frame[((719 - (y * 4 + k / 4)) * 1280 + x * 4 + k % 4) * 3 + c];
                    }
                    small[(y * 320 + x) * 3 + c] = static_cast<std::uint8_t>(sum / 16);
                }
            }
        }
        return detector->detect({small.data(), 320, 180, 960});
    };
    const auto rectangleOf = [](const std::vector<DetectedFace>& found) {
        const auto rectangles = chooseFaceRectangles(found, {1280, 720}, 1);
        return rectangles.empty() ? FaceRectangle{} : rectangles.front();
    };
    for (const float width : {100.0f, 250.0f}) {
        const testing::PortraitPose pose{500, 300, width, 0};
        const std::vector<DetectedFace> found = detectIn(clip.frame(pose));
        const FaceRectangle face = rectangleOf(found);
        EXPECT_TRUE(acceptableFaceRectangle(face)) << width;
        ASSERT_EQ(found.size(), 1u) << width;
        EXPECT_GT(found.front().score, kBlazeFaceMinimumScore);
        const float centreX = static_cast<float>(face.x) + static_cast<float>(face.width) / 2;
        const float centreY = static_cast<float>(face.y) + static_cast<float>(face.height) / 2;
        EXPECT_LT(std::abs(centreX - pose.centreX), width / 3) << width;
        EXPECT_LT(std::abs(centreY - pose.centreY), width / 3) << width;
        EXPECT_GT(static_cast<float>(face.width), width * 0.6f);
        EXPECT_LT(static_cast<float>(face.width), width * 1.6f);
    }
    EXPECT_TRUE(detectIn(clip.background()).empty());
}

}  // namespace
}  // namespace velvix
