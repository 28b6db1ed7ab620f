#include "velvix/capture/file_camera.hpp"

#include <gtest/gtest.h>
#include <stb_image_write.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include "photo_frames.hpp"
#include "test_support.hpp"
#include "velvix/capture/capture_manager.hpp"

namespace velvix {
namespace {

using namespace std::chrono_literals;

// Collects the samples a stream delivers.
class CollectingSink final : public SampleSink {
  public:
    void deliverSample(const std::uint8_t* data, std::size_t length) override {
        std::lock_guard guard(mutex_);
        samples_.emplace_back(data, data + length);
        arrived_.notify_all();
    }

    bool waitForSamples(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock guard(mutex_);
        return arrived_.wait_for(guard, timeout, [&] { return samples_.size() >= count; });
    }

    std::vector<std::vector<std::uint8_t>> samples() {
        std::lock_guard guard(mutex_);
        return samples_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::vector<std::uint8_t>> samples_;
};

class TempFile {
  public:
    explicit TempFile(const std::string& name)
        : path_(::testing::TempDir() + "/" + std::to_string(getpid()) + "-" + name) {}
    ~TempFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// A PNG with red = x * 40, green = y * 60, blue = 9.
void writeGradientPng(const std::string& path, int width, int height) {
    std::vector<std::uint8_t> rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            rgb.insert(rgb.end(),
                       {static_cast<std::uint8_t>(x * 40), static_cast<std::uint8_t>(y * 60), 9});
        }
    }
    ASSERT_NE(stbi_write_png(path.c_str(), width, height, 3, rgb.data(), width * 3), 0);
}

// The first `count` samples of a stream, which is stopped after them.
std::vector<std::vector<std::uint8_t>> firstSamples(DeviceConnection& connection,
                                                    MediaSubtype delivered, std::size_t count) {
    CollectingSink sink;
    EXPECT_TRUE(connection.startStreaming(delivered, sink));
    EXPECT_TRUE(sink.waitForSamples(count, 2s));
    connection.stopStreaming();
    auto samples = sink.samples();
    samples.resize(std::max(samples.size(), count));
    return samples;
}

std::unique_ptr<DeviceConnection> connectTo(const std::string& pathWithOptions) {
    const auto parsed = parseFileCamera(pathWithOptions);
    EXPECT_TRUE(parsed) << parsed.error();
    FileCameraBackend backend({*parsed});
    return backend.connect(0);
}

// The command line's own parsing is the options test's; here what only the test camera reads.
TEST(FileCameraConfig, ReadsOptionsAndNamesTheDeviceAfterTheFile) {
    const auto parsed = parseFileCamera("odd?dir/face.png?freeze-after=12&fit=cover");
    ASSERT_TRUE(parsed) << parsed.error();  // a '?' in a folder starts no option
    EXPECT_EQ(parsed->path, "odd?dir/face.png");
    EXPECT_EQ(parsed->freezeAfter, 12);
    EXPECT_TRUE(parsed->cover);
    for (const char* bad : {"x.png?format=yuv", "x.png?freeze-after=3x", "?format=nv12"}) {
        EXPECT_NE(parseFileCamera(bad).error(), "") << bad;
    }
}

// A still is shown whole in the middle of a 16:9 picture, on a grey that is not skin, unless
// asked to cover; it is offered at that one size, as RGB24.
TEST(FileCamera, DeliversAStillWholeOnGreyOrCoveringOnlyAtItsOwnSize) {
    TempFile png("square.png");
    writeGradientPng(png.path(), 8, 8);
    auto whole = connectTo(png.path());
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(whole->currentFormat(), (VideoFormat{16, 8, MediaSubtype::rgb24}));
    EXPECT_FALSE(whole->setFormat({8, 8, MediaSubtype::rgb24}));
    // Bottom row first, blue, green, red: four grey pixels, then (0, 7) and (1, 7), whose
    // green is 7 * 60 % 256.
    const std::vector<std::uint8_t> expected{128, 128, 128, 128, 128, 128, 128, 128, 128,
                                             128, 128, 128, 9,   164, 0,   9,   164, 40};
    const auto sample = firstSamples(*whole, MediaSubtype::rgb24, 2)[0];
    EXPECT_EQ(std::vector<std::uint8_t>(sample.begin(), sample.begin() + 18), expected);
    EXPECT_EQ(sample[(4 + 8) * 3], 128);  // and grey again after the picture

    auto covering = connectTo(png.path() + "?fit=cover");
    ASSERT_NE(covering, nullptr);
    EXPECT_EQ(covering->currentFormat(), (VideoFormat{8, 8, MediaSubtype::rgb24}));
    const auto covered = firstSamples(*covering, MediaSubtype::rgb24, 1)[0];
    EXPECT_EQ(std::vector<std::uint8_t>(covered.begin(), covered.begin() + 6),
              std::vector<std::uint8_t>(expected.begin() + 12, expected.end()));
}

// A video loops at its own frame rate.
TEST(FileCamera, LoopsAVideoAtItsFrameRate) {
    TempFile y4m("clip.y4m");
    // Luma is 16 + the frame number everywhere.
    const std::string chroma(4, '\x80');
    std::ofstream(y4m.path(), std::ios::binary)
        << "YUV4MPEG2 W4 H2 F25:1 Ip A1:1 C420jpeg\n"
        << "FRAME\n" + std::string(8, 16) + chroma << "FRAME\n" + std::string(8, 17) + chroma;
    auto asNv12 = connectTo(y4m.path() + "?format=nv12");
    ASSERT_NE(asNv12, nullptr);
    EXPECT_EQ(asNv12->currentFormat(), (VideoFormat{4, 2, MediaSubtype::nv12, 400'000}));
    ASSERT_TRUE(asNv12->setFormat({4, 2, MediaSubtype::nv12, 50'000}));
    const auto samples = firstSamples(*asNv12, MediaSubtype::nv12, 3);
    EXPECT_EQ(samples[0],
              (std::vector<std::uint8_t>{16, 16, 16, 16, 16, 16, 16, 16, 128, 128, 128, 128}));
    EXPECT_EQ(samples[1][0], 17);
    EXPECT_EQ(samples[2][0], 16);
}

std::string jpegFile(const testing::Photo& photo) {
    const auto jpeg = testing::cameraJpeg(photo);
    return std::string(jpeg.begin(), jpeg.end());
}

// JPEG images back to back, sent as MJPG as they are: the capture manager fetches them
// decoded, each frame whole, round the loop.
TEST(FileCamera, SendsJpegFramesAsMjpgThatTheCaptureLayerDecodes) {
    const testing::Photo photo = testing::testPhoto();
    ASSERT_FALSE(photo.rgb.empty());
    TempFile clip("clip.mjpg");
    std::ofstream(clip.path(), std::ios::binary) << jpegFile(photo) << jpegFile(photo);
    const auto config = parseFileCamera(clip.path() + "?format=mjpg");
    CaptureManager manager({std::make_shared<FileCameraBackend>(std::vector{*config})});
    ASSERT_EQ(manager.countDevices(), 1);
    manager.setAskSize(0, photo.width, photo.height, MediaSubtype::rgb24);
    ASSERT_TRUE(manager.openDevice(0));
    EXPECT_EQ(manager.record(0).mediaType.subtype, MediaSubtype::mjpg);
    std::vector<std::uint8_t> frame(std::size_t(photo.width) * photo.height * 4);
    for (int fetched = 0; fetched < 3; ++fetched) {
        ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {photo.width, photo.height}));
        EXPECT_LT(testing::meanDifference(frame.data(), photo), 3.0) << "frame " << fetched;
    }
}

// Each file is missing, claims something the program cannot use or must not believe; each is
// refused in one line before anything of the claimed size is allocated.
TEST(FileCamera, RefusesFilesItCannotUseWithOneClearLine) {
    const std::string frame = "FRAME\n" + std::string(12, '\x10');
    struct Case {
        const char* name;
        std::string content;
        const char* said;
        const char* options = "";
    };
    const Case cases[] = {
        {"rate.y4m", "YUV4MPEG2 W4 H2 F1:9223372036854775807\n" + frame, "frame rate is not two"},
        {"slow.y4m", "YUV4MPEG2 W4 H2 F1:4294967295\n" + frame, "no frame period"},
        {"wide.y4m", "YUV4MPEG2 W4294967336 H2 F30:1\n" + frame, "width is not a whole number"},
        {"sides.y4m", "YUV4MPEG2 W16384 H16384 F30:1\n" + frame, "from 1 to 8192"},
        {"short.y4m", "YUV4MPEG2 W8000 H8000 F30:1 C420jpeg\nFRAME\n",
         "less than one 8000 x 8000 frame (96000006 bytes)"},
        {"deep.y4m", "YUV4MPEG2 W4 H2 F30:1 C420p10\n" + frame + frame, "8-bit 4:2:0 or mono"},
        {"sizeless.y4m", "YUV4MPEG2 F30:1\n" + frame, "no width"},
        {"yuv444.y4m", "YUV4MPEG2 W4 H2 F30:1 C444\n" + frame, "colour space is not supported"},
        {"truncated.y4m", "YUV4MPEG2 W4 H2 F30:1\nFRAME\nabc", "less than one 4 x 2 frame"},
        {"junk.png", "hello", "unknown image type"},
        {"missing.png", "", "No such file or directory"},
        {"mixed.mjpg", jpegFile(testing::testPhoto()) + jpegFile(testing::photoInFrame(64, 48)),
         "JPEG frames of different sizes", "?format=mjpg"},
    };
    for (const Case& c : cases) {
        TempFile file(c.name);
        if (!c.content.empty()) {
            std::ofstream(file.path(), std::ios::binary) << c.content;
        }
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(connectTo(file.path() + c.options), nullptr) << c.name;
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find(c.said), std::string::npos) << c.name << ": " << said;
    }

    // The worker tries a camera again every two seconds: the line is said once.
    TempFile huge("huge.png");
    testing::writePngHeader(huge.path(), 16000, 16000);
    FileCameraBackend backend({*parseFileCamera(huge.path())});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(backend.connect(0), nullptr);
    EXPECT_EQ(backend.connect(0), nullptr);
    EXPECT_EQ(backend.connect(1), nullptr);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("the picture is 16000 x 16000"), std::string::npos) << said;
}

}  // namespace
}  // namespace velvix
