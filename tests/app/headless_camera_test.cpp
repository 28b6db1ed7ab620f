#include <gtest/gtest.h>
#include <signal.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "process.hpp"
#include "ring_commands.hpp"
#include "test_support.hpp"
#ifndef _WIN32
#include "virtual_display.hpp"
#endif

namespace velvix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // top row first
};

// Smooth in both directions, so that NV12's shared chroma hardly changes it, and different
// from its mirror image.
Picture gradientPicture(int width, int height) {
    Picture picture{width, height, {}};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            picture.rgb.insert(picture.rgb.end(), {static_cast<std::uint8_t>(40 + x * 180 / width),
                                                   static_cast<std::uint8_t>(30 + y * 190 / height),
                                                   static_cast<std::uint8_t>(90 + (x + y) % 7)});
        }
    }
    return picture;
}

Picture mirrored(const Picture& picture) {
    Picture out = picture;
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            for (int c = 0; c < 3; ++c) {
                out.rgb[(y * picture.width + x) * 3 + c] =
                    picture.rgb[(y * picture.width + picture.width - 1 - x) * 3 + c];
            }
        }
    }
    return out;
}

Picture loadPng(const std::string& path) {
    Picture picture;
    int channels = 0;
    stbi_uc* data = stbi_load(path.c_str(), &picture.width, &picture.height, &channels, 3);
    if (data != nullptr) {
        picture.rgb.assign(data, data + picture.width * picture.height * 3);
        stbi_image_free(data);
    }
    return picture;
}

int largestDifference(const Picture& a, const Picture& b) {
    int largest = 0;
    for (std::size_t i = 0; i < a.rgb.size() && i < b.rgb.size(); ++i) {
        largest = std::max(largest, std::abs(a.rgb[i] - b.rgb[i]));
    }
    return largest;
}

// One velvix --headless with a test camera made from a picture, fed web messages.
class HeadlessCameraTest : public ::testing::Test {
  protected:
#ifdef SIGPIPE
    // Writing to a program that has ended must fail, not end the test.
    static void SetUpTestSuite() {
        signal(SIGPIPE, SIG_IGN);
    }
#endif

    void TearDown() override {
        unlink(photoPath_.c_str());
        unlink(snapshotPath_.c_str());
        unlink(logPath_.c_str());
    }

    void start(const Picture& picture, const std::string& options = "",
               const std::vector<std::string>& moreArguments = {}) {
        ASSERT_NE(stbi_write_png(photoPath_.c_str(), picture.width, picture.height, 3,
                                 picture.rgb.data(), picture.width * 3),
                  0);
        std::vector<std::string> arguments{
            VELVIX_APP,  "--headless",    "--exit-on-eof",     "--ring",
            ring_.get(), "--file-camera", photoPath_ + options};
        arguments.insert(arguments.end(), moreArguments.begin(), moreArguments.end());
        program_ = std::make_unique<testing::ChildProcess>(arguments, logPath_, true);
    }

    void send(const std::string& message) {
        ASSERT_TRUE(program_->writeInput(message + "\n")) << log();
    }

    std::string cameraMessage() const {
        return "velv:CAMERA:Test camera: " + photoName_;
    }

    std::uint32_t readyCount() {
        const auto reader = FrameRingReader::open(ring_.get());
        return reader.isOpen() ? reader.readyCount() : 0;
    }

    // Waits until at least `frames` frames are published; false after the time limit.
    bool waitForFrames(std::uint32_t frames, std::chrono::seconds limit) {
        return testing::waitUntil([&] { return readyCount() >= frames; }, limit);
    }

    // The frame count once it has not moved for `quiet`; 0 when that does not happen in time.
    std::uint32_t waitForStandstill(std::chrono::milliseconds quiet, std::chrono::seconds limit) {
        const auto end = Clock::now() + limit;
        std::uint32_t count = readyCount();
        auto since = Clock::now();
        while (Clock::now() < end) {
            std::this_thread::sleep_for(50ms);
            const std::uint32_t now = readyCount();
            if (now != count) {
                count = now;
                since = Clock::now();
            } else if (Clock::now() - since >= quiet) {
                return count;
            }
        }
        ADD_FAILURE() << "frames kept coming";
        return 0;
    }

    Picture snapshot() {
        const auto result = testing::runProgram(
            {VELVIX_RING_TOOL, "--ring", ring_.get(), "snapshot", snapshotPath_});
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return loadPng(snapshotPath_);
    }

    int stop() {
        program_->closeInput();
        return program_->waitForExit(10000);
    }

    // Its lines, which end with "\r\n" on Windows, with "\n" alone.
    std::string log() const {
        std::string text = testing::readFile(logPath_);
        std::erase(text, '\r');
        return text;
    }

    testing::ScopedRingName ring_;
    std::string photoName_ = "velvix-photo-" + std::to_string(getpid()) + ".png";
    std::string photoPath_ = ::testing::TempDir() + "/" + photoName_;
    std::string snapshotPath_ =
        ::testing::TempDir() + "/velvix-snapshot-" + std::to_string(getpid()) + ".png";
    std::string logPath_ =
        ::testing::TempDir() + "/velvix-headless-" + std::to_string(getpid()) + ".log";
    std::unique_ptr<testing::ChildProcess> program_;
};

// The pace itself is the pacer's, tested on a fake clock.
TEST_F(HeadlessCameraTest, PublishesThePhotoExactlyUntilNoCameraIsChosen) {
    const Picture photo = gradientPicture(kWidth, kHeight);
    start(photo);
    send(cameraMessage());
    ASSERT_TRUE(waitForFrames(10, 10s)) << log();

    const Picture published = snapshot();
    ASSERT_EQ(published.width, kWidth);
    ASSERT_EQ(published.height, kHeight);
    EXPECT_TRUE(published.rgb == photo.rgb)
        << "largest difference " << largestDifference(published, photo);

    send("velv:CAMERA:no camera");
    EXPECT_NE(waitForStandstill(1s, 10s), 0u);
    EXPECT_EQ(stop(), 0) << log();
}

TEST_F(HeadlessCameraTest, DeliversACorrectPictureInNv12) {
    const Picture photo = gradientPicture(kWidth, kHeight);
    start(photo, "?format=nv12");
    send(cameraMessage());
    ASSERT_TRUE(waitForFrames(3, 10s)) << log();
    const Picture published = snapshot();
    ASSERT_EQ(published.width, kWidth);
    // NV12 frames are turned by 180 degrees into the bottom-up frame: upright, but mirrored.
    EXPECT_LE(largestDifference(published, mirrored(photo)), 6);
    EXPECT_GT(largestDifference(published, photo), 100);
    EXPECT_EQ(stop(), 0) << log();
}

// A second without a new frame: the ring says it holds no frame, so that readers show their
// placeholder, and the panel is told that the camera is lost; the picture comes back by itself.
TEST_F(HeadlessCameraTest, SaysWhenTheCameraIsLostAndReopensItAndFramesFlowAgain) {
    const auto ringState = [&] { return FrameRingReader::open(ring_.get()).header().state; };
    start(gradientPicture(64, 48), "?freeze-after=30");
    send(cameraMessage());
    ASSERT_TRUE(waitForFrames(1, 10s)) << log();
    // The camera stops after 30 frames; a worker slower than the camera has dropped some.
    ASSERT_TRUE(testing::waitUntil([&] { return ringState() == RingState::initialised; }, 20s));
    send("velv:CAM:STATE");
    EXPECT_TRUE(program_->waitForOutput("post: velv:CAM:STATE:lost")) << log();
    const std::uint32_t frozenAt = readyCount();
    EXPECT_LE(frozenAt, 30u);
    // The freeze check starts 400 polls (13.3 s at full speed) after the open and re-opens
    // the device, which delivers again.
    EXPECT_TRUE(waitForFrames(frozenAt + 1, 40s)) << log();
    EXPECT_TRUE(testing::waitUntil([&] { return ringState() == RingState::hasFrame; }));
    EXPECT_EQ(stop(), 0) << log();
}

#ifndef _WIN32
// The mean difference between neighbouring pixels along the rows of a box: the fine detail,
// which smoothing takes away.
double detail(const Picture& picture, int left, int top, int right, int bottom) {
    double sum = 0;
    for (int y = top; y < bottom; ++y) {
        for (int x = left + 1; x < right; ++x) {
            for (int c = 0; c < 3; ++c) {
                sum += std::abs(picture.rgb[(y * picture.width + x) * 3 + c] -
                                picture.rgb[(y * picture.width + x - 1) * 3 + c]);
            }
        }
    }
    return sum / ((bottom - top) * (right - left - 1) * 3);
}

double meanDifference(const Picture& a, const Picture& b, int left, int top, int right,
                      int bottom) {
    double sum = 0;
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) {
            for (int c = 0; c < 3; ++c) {
                sum +=
                    std::abs(a.rgb[(y * a.width + x) * 3 + c] - b.rgb[(y * b.width + x) * 3 + c]);
            }
        }
    }
    return sum / ((bottom - top) * (right - left) * 3);
}

// What `make run` shows without a display: the demo photo whole, its face found, the skin of
// the face smoothed and the wall, the flag, the suit and the grey around the photo as they were.
TEST(HeadlessDemo, SmoothsTheFacesSkinAndLeavesTheRestAlone) {
    const testing::ScopedFolder out;
    const auto demo =
        testing::runProgram({VELVIX_DEMO_SCRIPT, VELVIX_BUILD_DIR, out.path()}, 240000);
    ASSERT_EQ(demo.exitCode, 0) << demo.output;
    const Picture before = loadPng(out.path() + "/before.png");
    const Picture after = loadPng(out.path() + "/after.png");
    ASSERT_EQ(before.width, kWidth);
    ASSERT_EQ(after.width, kWidth);
    // A box of the 512 x 512 photo as the frame shows it: in the middle of a 912 x 512 picture,
    // scaled by 720 / 512.
    struct Box {
        const char* name;
        int left, top, right, bottom;
    };
    const auto inFrame = [](int photo, int offset) { return (photo + offset) * 720 / 512; };
    const auto detailIn = [&](const Picture& picture, const Box& b) {
        return detail(picture, inFrame(b.left, 200), inFrame(b.top, 0), inFrame(b.right, 200),
                      inFrame(b.bottom, 0));
    };
    const auto differenceIn = [&](const Box& b) {
        return meanDifference(before, after, inFrame(b.left, 200), inFrame(b.top, 0),
                              inFrame(b.right, 200), inFrame(b.bottom, 0));
    };
    for (const Box& skin :
         {Box{"left cheek", 185, 128, 212, 158}, Box{"right cheek", 238, 128, 262, 158},
          Box{"forehead", 200, 82, 250, 100}}) {
        EXPECT_LT(detailIn(after, skin), detailIn(before, skin)) << skin.name;
        EXPECT_GT(differenceIn(skin), 1.0) << skin.name;
    }
    for (const Box& rest : {Box{"wall", 300, 15, 370, 90}, Box{"flag", 5, 60, 60, 200},
                            Box{"suit", 60, 300, 110, 380}, Box{"lips", 205, 140, 245, 152},
                            Box{"grey beside the photo", -200, 0, -20, 512}}) {
        EXPECT_LT(differenceIn(rest), 0.5) << rest.name;
    }
}
#endif

// What the window would show comes out on standard output, one line each. A page's text
// reaches the terminal only escaped: no control character can clear the screen, set the
// window title or forge a line. A line beyond 64 KiB is cut there, with one line saying so,
// and the next one is read as ever.
TEST_F(HeadlessCameraTest, AnswersMessagesOnStandardOutputEscapedAndCut) {
    start(gradientPicture(16, 16), "", {"--verbose"});  // the names, escaped, on standard error
    send("hello");
    send("velv:TERMS");
    send("velv:LOGIN:someone");
    send("velv:LOGOUT:");
    send("velv:SMOOTH:on,abc");
    send(
        "velv:LOGIN:\x1b[2J\x1b]0;owned\x07"
        "eve");
    send("post\x1b[31mred\rpost: forged\\n");
    send(std::string("nul\0byte", 8));
    send(std::string(300'000, 'a'));
    send("after");
    EXPECT_EQ(stop(), 0);
    const std::string output = log();
    for (const char* line :
         {"post: hello\n", "open: https://app.velvix.example/terms-of-use\n",
          "navigate: https://app.velvix.example/smooth.html\n",
          "navigate: https://app.velvix.example/signup.html\n", "velv:SMOOTH:on,abc: ignored",
          "velv:LOGIN:\\x1b[2J\\x1b]0;owned\\x07eve\n",
          "post: post\\x1b[31mred\\x0dpost: forged\\\\n\n", "post: nul\\x00byte\n",
          "post: after\n"}) {
        EXPECT_NE(output.find(line), std::string::npos) << line << " in\n"
                                                        << output.substr(0, 2000);
    }
    EXPECT_EQ(output.find('\x1b'), std::string::npos);
    EXPECT_EQ(output.find('\r'), std::string::npos);
    EXPECT_NE(output.find("post: " + std::string(65536, 'a') + "\n"), std::string::npos);
    EXPECT_EQ(output.find(std::string(65537, 'a')), std::string::npos);
    const std::string notice = "a line longer than 65536 bytes was cut";
    const auto first = output.find(notice);
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(output.find(notice, first + 1), std::string::npos);
}

// The panel's questions about the virtual camera, answered by the running program: a device
// named on the command line that is not there is explained, and "off" means off.
TEST_F(HeadlessCameraTest, AnswersWhatTheVirtualCameraIsDoing) {
#ifndef _WIN32  // the program feeds loopback devices on Linux only
    const std::string missing = "/nonexistent/video77";
    start(gradientPicture(16, 16), "", {"--virtual-camera", missing});
    ASSERT_TRUE(program_->waitForOutput("cannot feed the virtual camera")) << log();
    send("velv:VCAM:STATE");
    EXPECT_EQ(stop(), 0);
    EXPECT_NE(log().find("post: velv:VCAM:STATE:none:cannot open " + missing +
                         ": No such file or directory\n"),
              std::string::npos)
        << log();
#endif

    start(gradientPicture(16, 16), "", {"--virtual-camera", "off"});
    send("velv:VCAM:SETUP");  // nothing to set up: no command runs
    // Without --verbose the user's names stay out of the log.
    send("velv:LOGIN:Ada Secret");
    send(cameraMessage());
    EXPECT_EQ(stop(), 0);
    EXPECT_NE(log().find("post: velv:VCAM:STATE:off\n"), std::string::npos) << log();
    EXPECT_EQ(log().find("Ada Secret"), std::string::npos) << log();
    EXPECT_EQ(log().find(photoName_), std::string::npos) << log();
}

}  // namespace
}  // namespace velvix
