#include "velvix/capture/file_camera.hpp"

#include <gtest/gtest.h>
#include <stb_image_write.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <tuple>

#include "camera_samples.hpp"
#include "process.hpp"
#include "test_support.hpp"
#include "velvix/capture/capture_manager.hpp"

namespace velvix {
namespace {

class TempFile {
  public:
    explicit TempFile(const std::string& name)
        : path_(::testing::TempDir() + "/" + std::to_string(getpid()) + "-" + name) {}
    ~TempFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// The first frames of a test camera asked for 1280x720 as the frame worker asks, which it
// offers at its own size only, `width` x `height`; in the capture layout (red, green, blue,
// alpha; bottom row first).
std::vector<std::vector<std::uint8_t>> firstFrames(const std::string& pathWithOptions, int width,
                                                   int height, std::size_t count) {
    CaptureManager manager(
        {std::make_shared<FileCameraBackend>(std::vector{*parseFileCamera(pathWithOptions)})});
    manager.setAskSize(0, 1280, 720, MediaSubtype::rgb24);
    EXPECT_TRUE(manager.openDevice(0));
    EXPECT_EQ(std::pair(manager.record(0).width, manager.record(0).height),
              std::pair(width, height));
    std::vector frames(count, std::vector<std::uint8_t>(std::size_t(width) * height * 4));
    for (auto& frame : frames) {
        EXPECT_TRUE(manager.fetchFrame(0, frame.data(), {width, height}));
    }
    return frames;
}

std::string jpegFile(const testing::Photo& photo) {
    const auto jpeg = testing::cameraJpeg(photo);
    return std::string(jpeg.begin(), jpeg.end());
}

// A still is shown whole in the middle of a 16:9 picture, on a grey that is not skin, unless
// asked to cover; a video loops; JPEG images back to back are sent as MJPG as they are and
// fetched decoded.
TEST(FileCamera, ShowsStillsVideosAndMjpgAtTheirOwnSize) {
    TempFile png("square.png");
    std::vector<std::uint8_t> rgb;  // red = x * 40, green = y * 60, blue = 9
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            rgb.insert(rgb.end(), {std::uint8_t(x * 40), std::uint8_t(y * 60), 9});
        }
    }
    ASSERT_NE(stbi_write_png(png.path().c_str(), 8, 8, 3, rgb.data(), 8 * 3), 0);
    // The bottom row: four grey pixels, then (0, 7) and (1, 7), whose green is 7 * 60 % 256.
    const std::vector<std::uint8_t> picture{0, 164, 9, 255, 40, 164, 9, 255};
    const auto whole = firstFrames(png.path(), 16, 8, 1)[0];
    EXPECT_EQ(std::count(whole.begin(), whole.begin() + 16, 128), 12);
    EXPECT_EQ(std::vector(whole.begin() + 16, whole.begin() + 24), picture);
    EXPECT_EQ(whole[48], 128);  // grey again after the picture
    const auto covered = firstFrames(png.path() + "?fit=cover", 8, 8, 1)[0];
    EXPECT_EQ(std::vector(covered.begin(), covered.begin() + 8), picture);

    // Luma 16 + the frame number everywhere: black, then red, green and blue 1.
    TempFile y4m("clip.y4m");
    const std::string chroma(4, '\x80');
    std::ofstream(y4m.path(), std::ios::binary)
        << "YUV4MPEG2 W4 H2 F25:1 Ip A1:1 C420jpeg\n"
        << "FRAME\n" + std::string(8, 16) + chroma << "FRAME\n" + std::string(8, 17) + chroma;
    const auto frames = firstFrames(y4m.path() + "?format=nv12", 4, 2, 3);
    EXPECT_EQ(std::tuple(frames[0][0], frames[1][0], frames[2][0]), std::tuple(0, 1, 0));

    const testing::Photo photo = testing::testPhoto();
    ASSERT_FALSE(photo.rgb.empty());
    TempFile clip("clip.mjpg");
    std::ofstream(clip.path(), std::ios::binary) << jpegFile(photo) << jpegFile(photo);
    for (const auto& frame :
         firstFrames(clip.path() + "?format=mjpg", photo.width, photo.height, 3)) {
        EXPECT_LT(testing::meanDifference(frame.data(), photo), 3.0);
    }
}

// Each file is missing, claims something the program cannot use or must not believe; each is
// refused in one line before anything of the claimed size is allocated, said once though the
// worker tries a camera again every two seconds.
TEST(FileCamera, RefusesFilesItCannotUseWithOneClearLine) {
    const std::string frame = "FRAME\n" + std::string(12, '\x10');
    TempFile huge("huge.png");
    testing::writePngHeader(huge.path(), 16000, 16000);
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
        {"huge.png", testing::readFile(huge.path()), "the picture is 16000 x 16000"},
        {"mixed.mjpg",
         jpegFile(testing::testPhoto()) +
             jpegFile({64, 48, std::vector<std::uint8_t>(64 * 48 * 3)}),
         "JPEG frames of different sizes", "?format=mjpg"},
    };
    for (const Case& c : cases) {
        TempFile file(c.name);
        if (!c.content.empty()) {
            std::ofstream(file.path(), std::ios::binary) << c.content;
        }
        FileCameraBackend backend({*parseFileCamera(file.path() + c.options)});
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(backend.connect(0), nullptr) << c.name;
        EXPECT_EQ(backend.connect(0), nullptr) << c.name;
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find(c.said), std::string::npos) << c.name << ": " << said;
    }
}

}  // namespace
}  // namespace velvix
