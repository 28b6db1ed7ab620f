// The PipeWire camera end to end: velvix --headless on a test camera in a PipeWire session of
// the test's own, read by velvix-pipewire-reader as a video-call program reads a camera.
#include <gtest/gtest.h>
#include <signal.h>
#include <stb_image_write.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

#include "pipewire_session.hpp"
#include "process.hpp"
#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"

namespace velvix {
namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

// The camera starts a frame every 1/30 s; the lower bound leaves room for a machine loaded by
// other work (a rate well below it means frames are lost, not late). A sanitizer build
// converts frames too slowly for that, and only frames that stop flowing fail it there.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kFewestFramesPerSecond = 2.0;
#else
constexpr double kFewestFramesPerSecond = 20.0;
#endif
constexpr double kMostFramesPerSecond = 30.5;

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // top row first
};

// Four quadrants of their own colour, each with a faint gradient: a picture turned over or
// mirrored, or with two colour channels swapped, differs from it everywhere. The quadrants'
// edges lie on even pixels, where the chroma of YUY2 and I420 is shared by pixels of one
// colour.
Picture quadrants() {
    constexpr std::uint8_t kColours[4][3] = {
        {200, 40, 30}, {30, 190, 60}, {40, 50, 210}, {230, 220, 120}};
    Picture picture{kWidth, kHeight, {}};
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const auto& colour = kColours[(y >= kHeight / 2) * 2 + (x >= kWidth / 2)];
            const int shade = (x % (kWidth / 2)) * 20 / kWidth;
            for (const std::uint8_t channel : colour) {
                picture.rgb.push_back(static_cast<std::uint8_t>(channel + shade));
            }
        }
    }
    return picture;
}

Picture loadPpm(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string magic;
    int depth = 0;
    Picture picture;
    file >> magic >> picture.width >> picture.height >> depth;
    file.get();
    picture.rgb.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
    file.read(reinterpret_cast<char*>(picture.rgb.data()),
              static_cast<std::streamsize>(picture.rgb.size()));
    return file ? picture : Picture{};
}

int largestDifference(const Picture& a, const Picture& b) {
    if (a.rgb.size() != b.rgb.size()) {
        return 256;
    }
    int largest = 0;
    for (std::size_t i = 0; i < a.rgb.size(); ++i) {
        largest = std::max(largest, std::abs(a.rgb[i] - b.rgb[i]));
    }
    return largest;
}

// The placeholder: grey, mostly its dark background, with light text.
bool isPlaceholder(const Picture& picture) {
    std::size_t background = 0;
    for (std::size_t i = 0; i + 2 < picture.rgb.size(); i += 3) {
        const auto [red, green, blue] =
            std::tuple{picture.rgb[i], picture.rgb[i + 1], picture.rgb[i + 2]};
        if (std::abs(red - green) > 3 || std::abs(green - blue) > 3) {
            return false;
        }
        background += std::abs(red - 40) <= 3;
    }
    return !picture.rgb.empty() && background > picture.rgb.size() / 3 * 9 / 10;
}

struct Frame {
    std::uint64_t sequence = 0;
    std::int64_t nanoseconds = 0;
    std::uint64_t digest = 0;
};

// What one reader saw.
struct Reading {
    int exitCode = -1;
    std::string format;  // "yuy2 1280x720"
    std::vector<Frame> frames;
    Picture last;
    std::string output;

    double framesPerSecond() const {
        if (frames.size() < 2) {
            return 0;
        }
        return static_cast<double>(frames.size() - 1) * 1e9 /
               static_cast<double>(frames.back().nanoseconds - frames.front().nanoseconds);
    }
    bool inIncreasingOrder() const {
        for (std::size_t i = 1; i < frames.size(); ++i) {
            if (frames[i].sequence < frames[i - 1].sequence ||
                frames[i].nanoseconds <= frames[i - 1].nanoseconds) {
                return false;
            }
        }
        return true;
    }
    bool allFramesAlike() const {
        return std::all_of(frames.begin(), frames.end(),
                           [&](const Frame& frame) { return frame.digest == frames[0].digest; });
    }
};

class PipeWireCameraTest : public ::testing::Test {
  protected:
#ifdef SIGPIPE
    static void SetUpTestSuite() {
        signal(SIGPIPE, SIG_IGN);
    }
#endif

    void SetUp() override {
        if (!session_.start()) {
            GTEST_FAIL() << session_.why();
        }
    }

    // velvix on the test camera, showing the photo; the camera is chosen with `chosen`.
    void startProgram(const std::vector<std::string>& options = {}, bool chosen = true) {
        ASSERT_NE(stbi_write_png(photoPath_.c_str(), photo_.width, photo_.height, 3,
                                 photo_.rgb.data(), photo_.width * 3),
                  0);
        std::vector<std::string> arguments{VELVIX_APP,  "--headless",    "--exit-on-eof", "--ring",
                                           ring_.get(), "--file-camera", photoPath_};
        arguments.insert(arguments.end(), options.begin(), options.end());
        program_ = std::make_unique<testing::ChildProcess>(arguments, programLog_, true);
        if (chosen) {
            ASSERT_TRUE(program_->writeInput("velv:CAMERA:Test camera: photo.png\n"));
            ASSERT_TRUE(testing::waitUntil([&] { return readyCount() > 0; })) << programLog();
        }
    }

    std::uint32_t readyCount() const {
        const auto reader = FrameRingReader::open(ring_.get());
        return reader.isOpen() ? reader.readyCount() : 0;
    }

    std::string programLog() const {
        return testing::readFile(programLog_);
    }

    // The program's answer to the panel's question, once it contains `expected`.
    bool panelStateShows(const std::string& expected) {
        return testing::waitUntil([&] {
            program_->writeInput("velv:VCAM:STATE\n");
            return programLog().find("STATE:" + expected) != std::string::npos;
        });
    }

    std::unique_ptr<testing::ChildProcess> startReader(const std::string& format, int frames,
                                                       int index = 0) {
        return std::make_unique<testing::ChildProcess>(
            std::vector<std::string>{VELVIX_PIPEWIRE_READER, "read", format, std::to_string(frames),
                                     picturePath(index)},
            readerLog(index));
    }

    Reading finish(testing::ChildProcess& reader, int index = 0) {
        Reading reading;
        reading.exitCode = reader.waitForExit(40000);
        reading.output = testing::readFile(readerLog(index));
        std::istringstream lines(reading.output);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("format ")) {
                reading.format = line.substr(7);
            }
            Frame frame;
            unsigned long long sequence = 0;
            long long nanoseconds = 0;
            unsigned long long digest = 0;
            if (std::sscanf(line.c_str(), "frame %llu %lld %llx", &sequence, &nanoseconds,
                            &digest) == 3) {
                reading.frames.push_back({sequence, nanoseconds, digest});
            }
        }
        reading.last = loadPpm(picturePath(index));
        return reading;
    }

    Reading read(const std::string& format, int frames) {
        const auto reader = startReader(format, frames);
        return finish(*reader);
    }

    std::string picturePath(int index) const {
        return session_.folder() + "/frame-" + std::to_string(index) + ".ppm";
    }
    std::string readerLog(int index) const {
        return session_.folder() + "/reader-" + std::to_string(index) + ".log";
    }

    // Short: the sockets' paths in the folder must fit into 108 bytes.
    static std::string testName() {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        return name;
    }

    testing::PipeWireSession session_{testName(), VELVIX_PIPEWIRE_READER};
    // Its name is chosen once the session has pointed the runtime folder at its own.
    testing::ScopedRingName ring_;
    Picture photo_ = quadrants();
    std::string photoPath_ = session_.folder() + "/photo.png";
    std::string programLog_ = session_.folder() + "/velvix.log";
    std::unique_ptr<testing::ChildProcess> program_;
};

// Each format as a program that asks for it alone gets it: the ring's picture, upright and
// in its colours (exactly where the format holds the ring's pixels), frame after frame in the
// ring's order, at the camera's 30 frames per second.
class EachFormat : public PipeWireCameraTest,
                   public ::testing::WithParamInterface<std::pair<std::string, int>> {};

TEST_P(EachFormat, DeliversTheRingsPictureUprightInItsColours) {
    const auto [format, largestError] = GetParam();
    startProgram();
    const Reading reading = read(format, 45);
    ASSERT_EQ(reading.exitCode, 0) << reading.output << programLog();
    EXPECT_EQ(reading.format, format + " 1280x720");
    ASSERT_EQ(reading.frames.size(), 45u);
    EXPECT_LE(largestDifference(reading.last, photo_), largestError);
    EXPECT_TRUE(reading.allFramesAlike());  // by their digests: none torn, none other
    EXPECT_TRUE(reading.inIncreasingOrder());
    EXPECT_GT(reading.frames.back().sequence, reading.frames.front().sequence);
    EXPECT_GE(reading.framesPerSecond(), kFewestFramesPerSecond);
    EXPECT_LE(reading.framesPerSecond(), kMostFramesPerSecond);
    program_->closeInput();
    EXPECT_EQ(program_->waitForExit(10000), 0);
}

// YUY2 and I420 keep less colour than the ring: a step of rounding each way, and chroma
// shared by pixels of the faint gradient.
INSTANTIATE_TEST_SUITE_P(PipeWireCamera, EachFormat,
                         ::testing::Values(std::pair{std::string("yuy2"), 4},
                                           std::pair{std::string("i420"), 4},
                                           std::pair{std::string("bgrx"), 0},
                                           std::pair{std::string("rgb"), 0}),
                         [](const auto& test) { return test.param.first; });

TEST_F(PipeWireCameraTest, TwoProgramsReadAtOnceAndThePanelSaysSo) {
    startProgram();
    EXPECT_TRUE(panelStateShows("pipewire=idle;")) << programLog();
    auto first = startReader("yuy2", 90, 0);
    auto second = startReader("yuy2", 90, 1);
    EXPECT_TRUE(panelStateShows("pipewire=reading;")) << programLog();
    for (int index = 0; index < 2; ++index) {
        const Reading reading = finish(index == 0 ? *first : *second, index);
        ASSERT_EQ(reading.exitCode, 0) << reading.output;
        EXPECT_LE(largestDifference(reading.last, photo_), 4);
        EXPECT_TRUE(reading.inIncreasingOrder());
        EXPECT_GE(reading.framesPerSecond(), kFewestFramesPerSecond);
        EXPECT_LE(reading.framesPerSecond(), kMostFramesPerSecond);
    }
    // Both have gone: the camera waits for the next.
    EXPECT_TRUE(panelStateShows("pipewire=idle;")) << programLog();
}

// velvix-ring pipewire offers the camera apart from the program: a program that reads it
// sees the placeholder until Velvix publishes, then the picture, and the placeholder again
// once Velvix has stopped.
TEST_F(PipeWireCameraTest, ShowsThePlaceholderBeforeTheFirstFrameAndAfterTheProgramStops) {
    const std::string cameraLog = session_.folder() + "/velvix-ring.log";
    testing::ChildProcess camera({VELVIX_RING_TOOL, "--ring", ring_.get(), "pipewire"}, cameraLog);
    ASSERT_TRUE(camera.waitForOutput("offering the PipeWire camera"))
        << testing::readFile(cameraLog);
    const Reading before = read("rgb", 5);
    ASSERT_EQ(before.exitCode, 0) << before.output;
    EXPECT_TRUE(isPlaceholder(before.last));

    startProgram({"--virtual-camera", "v4l2"});
    // The camera looks for a ring once a second while it has none.
    const Reading running = read("rgb", 45);
    ASSERT_EQ(running.exitCode, 0) << running.output;
    EXPECT_EQ(largestDifference(running.last, photo_), 0);
    EXPECT_TRUE(running.inIncreasingOrder());

    program_->closeInput();
    ASSERT_EQ(program_->waitForExit(10000), 0);
    const Reading after = read("rgb", 5);
    ASSERT_EQ(after.exitCode, 0) << after.output;
    EXPECT_TRUE(isPlaceholder(after.last));
    camera.interrupt();
    EXPECT_EQ(camera.waitForExit(10000), 0);
}

// Without any daemon the program says so in one line and runs as ever.
TEST(PipeWireCameraWithoutDaemon, TheProgramSaysSoOnceAndPublishesAsEver) {
    const std::string folder = testing::temporaryPath("velvix-no-pipewire");
    setenv("PIPEWIRE_RUNTIME_DIR", folder.c_str(), 1);
    testing::ScopedRingName ring;
    const std::string log = folder + ".log";
    testing::ChildProcess program({VELVIX_APP, "--headless", "--exit-on-eof", "--ring", ring.get(),
                                   "--file-camera", VELVIX_DEMO_PHOTO},
                                  log, true);
    ASSERT_TRUE(program.writeInput("velv:CAMERA:Test camera: astronaut.png\n"));
    EXPECT_TRUE(testing::waitUntil([&] {
        const auto reader = FrameRingReader::open(ring.get());
        return reader.isOpen() && reader.readyCount() >= 10;
    })) << testing::readFile(log);
    ASSERT_TRUE(program.writeInput("velv:VCAM:STATE\n"));
    program.closeInput();
    EXPECT_EQ(program.waitForExit(10000), 0);
    const std::string output = testing::readFile(log);
    const std::string line = "velvix: no PipeWire camera: no PipeWire daemon answers";
    EXPECT_NE(output.find(line), std::string::npos) << output;
    EXPECT_EQ(output.find(line), output.rfind(line)) << output;
    EXPECT_EQ(output.find("pipewire="), std::string::npos) << output;
    std::remove(log.c_str());
}

}  // namespace
}  // namespace velvix
