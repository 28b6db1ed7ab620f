#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <stop_token>

#include "model_file.hpp"
#include "process.hpp"
#include "ring_commands.hpp"
#include "test_support.hpp"
#include "velvix/face/face_step.hpp"
#include "velvix/filters/cpu_info.hpp"
#include "velvix/filters/smoothing.hpp"
#include "velvix/pipeline/frame_worker.hpp"

namespace velvix {
namespace {

using testing::runProgram;

// A camera frame in the capture layout, bottom row first: skin-coloured on the left, grey on
// the right, with noise for the filter to smooth.
std::vector<std::uint8_t> noisyCaptureFrame(FrameSize size) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(size.pixels()) * 4);
    std::mt19937 random(17);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        const bool skin =
            static_cast<int>((i / 4) % static_cast<std::size_t>(size.width)) < size.width / 2;
        const int noise = static_cast<int>(random() % 13) - 6;
        pixels[i + 0] = static_cast<std::uint8_t>((skin ? 205 : 128) + noise);
        pixels[i + 1] = static_cast<std::uint8_t>((skin ? 150 : 130) + noise);
        pixels[i + 2] = static_cast<std::uint8_t>((skin ? 120 : 126) + noise);
        pixels[i + 3] = 255;
    }
    return pixels;
}

// The frame as a picture file: upright, red, green and blue.
void writeUprightPng(const std::vector<std::uint8_t>& capture, FrameSize size,
                     const std::string& path) {
    std::vector<std::uint8_t> rgb;
    for (int row = size.height - 1; row >= 0; --row) {
        for (int x = 0; x < size.width; ++x) {
            const std::uint8_t* pixel =
                capture.data() + (static_cast<std::size_t>(row) * size.width + x) * 4;
            rgb.insert(rgb.end(), pixel, pixel + 3);
        }
    }
    ASSERT_NE(stbi_write_png(path.c_str(), size.width, size.height, 3, rgb.data(), size.width * 3),
              0);
}

std::vector<std::uint8_t> readRgb(const std::string& path, FrameSize expectedSize) {
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* image = stbi_load(path.c_str(), &width, &height, &channels, 3);
    EXPECT_NE(image, nullptr) << path;
    if (image == nullptr) {
        return {};
    }
    EXPECT_EQ(FrameSize(width, height), expectedSize);
    std::vector<std::uint8_t> rgb(image, image + static_cast<std::size_t>(width) * height * 3);
    stbi_image_free(image);
    return rgb;
}

// The frame the worker publishes for one camera frame with smoothing on at `level`.
RingFrame publishedByTheWorker(const std::vector<std::uint8_t>& capture, FrameSize size,
                               int level) {
    testing::ScopedRingName name;
    ControlBlock control;
    testing::ScriptedCamera camera;
    testing::FakeClock clock;
    FilterSmoother smoother;
    FaceProcessingStep faceStep(makeFaceDetector());
    FrameWorker worker({control, camera, {&faceStep, &smoother}, clock, name.get()});
    worker.startUp();
    control.requestCamera(0);
    control.requestSmoothOn(level);
    camera.queueFrame([&](int x, int y, std::uint8_t* pixel) {
        const std::uint8_t* source =
            capture.data() + (static_cast<std::size_t>(y) * size.width + x) * 4;
        std::copy(source, source + 4, pixel);
    });
    std::stop_source stop;
    worker.tick(stop.get_token());
    RingFrame frame;
    EXPECT_EQ(FrameRingReader::open(name.get()).readNewest(frame), FrameRingReader::Result::frame);
    return frame;
}

class ProcessTool : public ::testing::Test {
  protected:
    void TearDown() override {
        unlink(input.c_str());
        unlink(output.c_str());
    }

    const std::string input =
        ::testing::TempDir() + "/velvix-process-in-" + std::to_string(getpid()) + ".png";
    const std::string output =
        ::testing::TempDir() + "/velvix-process-out-" + std::to_string(getpid()) + ".png";
};

TEST_F(ProcessTool, WritesWhatTheWorkerPublishesForTheSameFrame) {
    const auto capture = noisyCaptureFrame(kDefaultFrameSize);
    writeUprightPng(capture, kDefaultFrameSize, input);
    const auto result =
        runProgram({VELVIX_PROCESS_TOOL, input, "--output", output, "--level", "60"});
    ASSERT_EQ(result.exitCode, 0) << result.output;

    const RingFrame published = publishedByTheWorker(capture, kDefaultFrameSize, 60);
    const auto expected = ring_tool::uprightRgb(published);
    const auto written = readRgb(output, kDefaultFrameSize);
    EXPECT_TRUE(written == expected);

    // Smoothing took place on the skin, and the grey half came through untouched.
    const auto unsmoothed = readRgb(input, kDefaultFrameSize);
    const std::size_t skin = (360 * 1280 + 100) * 3;
    const std::size_t grey = (360 * 1280 + 1100) * 3;
    EXPECT_NE(std::vector(written.begin() + skin, written.begin() + skin + 300),
              std::vector(unsmoothed.begin() + skin, unsmoothed.begin() + skin + 300));
    EXPECT_EQ(std::vector(written.begin() + grey, written.begin() + grey + 300),
              std::vector(unsmoothed.begin() + grey, unsmoothed.begin() + grey + 300));
}

TEST_F(ProcessTool, PrintsOneJsonLineWithSizePathAndStageTimes) {
    writeUprightPng(noisyCaptureFrame({100, 40}), {100, 40}, input);
    const auto result = runProgram({VELVIX_PROCESS_TOOL, input, "--no-face"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
    for (const char* field :
         {"{\"width\":100,\"height\":40,", "\"face\":\"no face\"",
          "\"decode\":", "\"process\":", "\"smooth\":", "\"packAndMask\":", "\"encode\":"}) {
        EXPECT_NE(result.output.find(field), std::string::npos) << field << " in " << result.output;
    }
    EXPECT_TRUE(result.output.find("\"filter\":\"avx2\"") != std::string::npos ||
                result.output.find("\"filter\":\"scalar\"") != std::string::npos)
        << result.output;
}

TEST_F(ProcessTool, RefusesBadArgumentsAndPictures) {
    EXPECT_EQ(runProgram({VELVIX_PROCESS_TOOL}).exitCode, 2);
    EXPECT_EQ(runProgram({VELVIX_PROCESS_TOOL, input, "--level", "101"}).exitCode, 2);
    EXPECT_EQ(runProgram({VELVIX_PROCESS_TOOL, input, "--level", "6x"}).exitCode, 2);
    EXPECT_EQ(runProgram({VELVIX_PROCESS_TOOL, input, "--bogus"}).exitCode, 2);

    const auto missing = runProgram({VELVIX_PROCESS_TOOL, input});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.output.find("cannot read"), std::string::npos) << missing.output;

    writeUprightPng(noisyCaptureFrame({20, 20}), {20, 20}, input);
    const auto small = runProgram({VELVIX_PROCESS_TOOL, input});
    EXPECT_EQ(small.exitCode, 1);
    EXPECT_NE(small.output.find("20 x 20 pixels"), std::string::npos) << small.output;
}

// A model that leaves a plausible mean face where the box is: eyes high and apart, the mouth
// low and in the middle, so that the image-left and image-right points can be told apart.
std::string writeMeanFaceModel() {
    testing::ModelFileContents contents;
    contents.stages = 1;
    contents.trees = 1;
    contents.depth = 1;
    contents.meanShape = [](int landmark, int axis) {
        const bool imageLeft = (landmark >= 60 && landmark <= 67) || landmark == 96 ||
                               (landmark >= 33 && landmark <= 41) || landmark < 16;
        const bool imageRight = (landmark >= 68 && landmark <= 75) || landmark == 97 ||
                                (landmark >= 42 && landmark <= 50) ||
                                (landmark > 16 && landmark <= 32);
        if (axis == 0) {
            return imageLeft ? -0.4f : (imageRight ? 0.4f : 0.0f);
        }
        return landmark >= 76 && landmark <= 95 ? 0.5f : -0.3f;
    };
    return testing::writeModelFile(contents, ::testing::TempDir() + "/velvix-process-model-" +
                                                 std::to_string(getpid()) + ".dat");
}

TEST_F(ProcessTool, FindsTheFaceAndWritesItsLandmarksUprightAndAnOverlay) {
    const std::string model = writeMeanFaceModel();
    const std::string points = output + ".pts";
    const auto result = runProgram({VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model", model,
                                    "--landmarks", points, "--overlay", output});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("\"face\":{\"accepted\":true"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("\"landmarks\":true"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("\"detector\":\""), std::string::npos) << result.output;

    // The astronaut's face lies in the upper middle of the 512 x 512 portrait.
    const std::string pts = testing::readFile(points);
    ASSERT_EQ(pts.rfind("version: 1\nn_points: 98\n{\n", 0), 0u) << pts;
    std::vector<std::pair<float, float>> read;
    std::istringstream lines(pts.substr(pts.find('{') + 2));
    float x = 0;
    float y = 0;
    while (lines >> x >> y) {
        read.emplace_back(x, y);
    }
    ASSERT_EQ(read.size(), 98u);
    EXPECT_LT(read[60].first, read[72].first);  // image-left eye on the image's left
    EXPECT_LT(read[96].first, read[97].first);
    EXPECT_LT(read[60].second, read[79].second);  // eyes above the mouth
    for (const auto& [px, py] : read) {
        EXPECT_GT(px, 150);
        EXPECT_LT(px, 330);
        EXPECT_GT(py, 40);
        EXPECT_LT(py, 220);
    }
    const auto overlay = readRgb(output, {512, 512});
    const auto photo = readRgb(VELVIX_DEMO_PHOTO, {512, 512});
    EXPECT_NE(overlay, photo);
    unlink(points.c_str());
    unlink(model.c_str());
}

std::uint64_t fnv1a(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char byte : bytes) {
        hash = (hash ^ static_cast<std::uint8_t>(byte)) * 1099511628211ull;
    }
    return hash;
}

// Every build of the program gives the same picture and the same landmarks for the same photo:
// the digests are those the Linux build gives, and the Windows build is held to them.
TEST_F(ProcessTool, GivesTheSamePixelsAndLandmarksAsTheLinuxBuild) {
    if (!hasAVX2) {
        GTEST_SKIP() << "the digests are those of the AVX2 path";
    }
    const std::string points = output + ".pts";
    const auto result =
        runProgram({VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model", VELVIX_SHIPPED_MODEL,
                    "--output", output, "--landmarks", points});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    const auto pixels = readRgb(output, {512, 512});
    EXPECT_EQ(fnv1a({reinterpret_cast<const char*>(pixels.data()), pixels.size()}),
              0xaca006167d298bb0ull);
    EXPECT_EQ(fnv1a(testing::readFile(points)), 0xcac7f7387f00f011ull);
    std::remove(points.c_str());
}

TEST_F(ProcessTool, SaysSoWhenThereAreNoLandmarksToWrite) {
    const std::string points = output + ".pts";
    const auto result = runProgram({VELVIX_PROCESS_TOOL, VELVIX_DEMO_PHOTO, "--model",
                                    "/nonexistent/velvix.dat", "--landmarks", points});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("no landmark model was loaded"), std::string::npos)
        << result.output;
}

}  // namespace
}  // namespace velvix
