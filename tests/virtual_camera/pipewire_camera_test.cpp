// The PipeWire camera end to end, in one PipeWire session of the test's own (each costs seconds
// to start): velvix --headless on a test camera, read by velvix-pipewire-reader as a video-call
// program reads a camera.
#include <gtest/gtest.h>
#include <signal.h>
#include <stb_image.h>
#include <stb_image_write.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "pipewire_session.hpp"
#include "process.hpp"
#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"

namespace velvix {
namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

// The camera starts a frame every 1/30 s; the lower bound leaves room for a loaded machine, and
// in a sanitizer build, which converts frames too slowly, only fails frames that stop flowing.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kFewestFramesPerSecond = 2.0;
#else
constexpr double kFewestFramesPerSecond = 20.0;
#endif

using Pixels = std::vector<std::uint8_t>;  // RGB, top row first, kWidth x kHeight

// Four quadrants of their own colour with a faint gradient: a picture turned over, mirrored or
// with colour channels swapped differs everywhere. Their edges lie on even pixels, where YUY2 and
// I420 share chroma between pixels of one colour.
Pixels quadrants() {
    constexpr std::uint8_t kColours[4][3] = {
        {200, 40, 30}, {30, 190, 60}, {40, 50, 210}, {230, 220, 120}};
    Pixels picture;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int shade = (x % (kWidth / 2)) * 20 / kWidth;
            for (const std::uint8_t channel :
                 kColours[(y >= kHeight / 2) * 2 + (x >= kWidth / 2)]) {
                picture.push_back(static_cast<std::uint8_t>(channel + shade));
            }
        }
    }
    return picture;
}

int largestDifference(const Pixels& a, const Pixels& b) {
    int largest = a.size() == b.size() ? 0 : 256;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        largest = std::max(largest, std::abs(a[i] - b[i]));
    }
    return largest;
}

// What one reader saw: each frame's sequence number, time and digest, and the last frame as it
// decoded it (empty unless it has the size the reader asks for).
struct Reading {
    int exitCode = -1;
    std::string output;
    std::vector<std::array<unsigned long long, 3>> frames;
    Pixels last;
};

class PipeWireCameraTest : public ::testing::Test {
  protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(session_.start(), "");
        ASSERT_NE(stbi_write_png(photoPath_.c_str(), kWidth, kHeight, 3, photo_.data(), kWidth * 3),
                  0);
    }

    std::unique_ptr<testing::ChildProcess> startReader(const std::string& format, int frames,
                                                       int index = 0) {
        return std::make_unique<testing::ChildProcess>(
            std::vector<std::string>{VELVIX_PIPEWIRE_READER, format, std::to_string(frames),
                                     readerFile(index, ".png")},
            readerFile(index, ".log"));
    }

    Reading finish(testing::ChildProcess& reader, int index = 0) {
        Reading reading{
            reader.waitForExit(40000), testing::readFile(readerFile(index, ".log")), {}, {}};
        std::istringstream lines(reading.output);
        for (std::string line; std::getline(lines, line);) {
            std::array<unsigned long long, 3> frame{};
            if (std::sscanf(line.c_str(), "frame %llu %llu %llx", &frame[0], &frame[1],
                            &frame[2]) == 3) {
                reading.frames.push_back(frame);
            }
        }
        int width = 0, height = 0, channels = 0;
        stbi_uc* last = stbi_load(readerFile(index, ".png").c_str(), &width, &height, &channels, 3);
        if (last != nullptr && width == kWidth && height == kHeight) {
            reading.last.assign(last, last + std::size_t(width) * height * 3);
        }
        stbi_image_free(last);
        return reading;
    }

    // Every frame whole and alike (by their digests: none torn, none other), the last one the
    // photo, in the ring's order at the camera's 30 frames per second.
    void expectThePhotoSteadily(const Reading& reading, std::size_t frames, int largestError) {
        ASSERT_EQ(reading.exitCode, 0) << reading.output << testing::readFile(programLog_);
        ASSERT_EQ(reading.frames.size(), frames);
        EXPECT_LE(largestDifference(reading.last, photo_), largestError);
        const auto& [first, last] = std::pair{reading.frames.front(), reading.frames.back()};
        for (std::size_t i = 1; i < frames; ++i) {
            const auto& [before, frame] = std::pair{reading.frames[i - 1], reading.frames[i]};
            EXPECT_TRUE(frame[0] >= before[0] && frame[1] > before[1] && frame[2] == first[2])
                << "frame " << i << " of " << reading.output;
        }
        EXPECT_GT(last[0], first[0]);
        const double framesPerSecond = double(frames - 1) * 1e9 / double(last[1] - first[1]);
        EXPECT_GE(framesPerSecond, kFewestFramesPerSecond);
        EXPECT_LE(framesPerSecond, 30.5);
    }

    std::string readerFile(int index, const char* extension) const {
        return session_.folder() + "/reader-" + std::to_string(index) + extension;
    }

    // Short: the sockets' paths in the folder must fit into 108 bytes. The ring's name is
    // chosen once the session has pointed the runtime folder at its own.
    testing::PipeWireSession session_{"camera"};
    const testing::ScopedRingName ring_;
    const Pixels photo_ = quadrants();
    const std::string photoPath_ = session_.folder() + "/photo.png";
    const std::string programLog_ = session_.folder() + "/velvix.log";
};

TEST_F(PipeWireCameraTest, ServesTheProgramsPictureInEveryFormatToOneReaderOrTwo) {
    testing::ChildProcess program({VELVIX_APP, "--headless", "--exit-on-eof", "--ring", ring_.get(),
                                   "--file-camera", photoPath_},
                                  programLog_, true);
    ASSERT_TRUE(program.writeInput("velv:CAMERA:Test camera: photo.png\n"));
    ASSERT_TRUE(testing::waitUntil([&] {
        const auto reader = FrameRingReader::open(ring_.get());
        return reader.isOpen() && reader.readyCount() > 0;
    })) << testing::readFile(programLog_);
    // The program's answer to the panel's question, once it contains `expected`.
    const auto panelStateShows = [&](const std::string& expected) {
        return testing::waitUntil([&] {
            program.writeInput("velv:VCAM:STATE\n");
            return testing::readFile(programLog_).find("STATE:" + expected) != std::string::npos;
        });
    };
    // One format after another, each the only one its reader asks for. YUY2 and I420 keep less
    // colour than the ring: a step of rounding each way, and chroma shared by pixels of the
    // faint gradient.
    for (const auto& [format, largestError] :
         {std::pair{"yuy2", 4}, std::pair{"i420", 4}, std::pair{"bgrx", 0}, std::pair{"rgb", 0}}) {
        SCOPED_TRACE(format);
        expectThePhotoSteadily(finish(*startReader(format, 45)), 45, largestError);
    }
    auto first = startReader("yuy2", 90, 0);
    auto second = startReader("yuy2", 90, 1);
    EXPECT_TRUE(panelStateShows("pipewire=reading;")) << testing::readFile(programLog_);
    expectThePhotoSteadily(finish(*first, 0), 90, 4);
    expectThePhotoSteadily(finish(*second, 1), 90, 4);
    // Both have gone: the camera waits for the next.
    EXPECT_TRUE(panelStateShows("pipewire=idle;")) << testing::readFile(programLog_);
    program.closeInput();
    EXPECT_EQ(program.waitForExit(10000), 0) << testing::readFile(programLog_);
}

}  // namespace
}  // namespace velvix
