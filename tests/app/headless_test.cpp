// velvix --headless as a user or script runs it: test cameras made from pictures, web messages
// on standard input, what it publishes read from the ring with velvix-ring.
#include <gtest/gtest.h>
#include <signal.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <chrono>
#include <functional>

#include "process.hpp"
#include "ring_commands.hpp"
#include "test_support.hpp"
#include "velvix/platform/shared_memory.hpp"

namespace velvix {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
const std::string kDemoCamera = "velv:CAMERA:Test camera: astronaut.png\n";

// Red, green, blue pixels, top row first, of a gradient different from its mirror image and
// from its upside-down image.
std::vector<std::uint8_t> gradientPicture(int width, int height) {
    std::vector<std::uint8_t> rgb;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            rgb.insert(rgb.end(), {static_cast<std::uint8_t>(40 + x * 180 / width),
                                   static_cast<std::uint8_t>(30 + y * 190 / height),
                                   static_cast<std::uint8_t>(90 + (x + y) % 7)});
        }
    }
    return rgb;
}

std::uint32_t readyCount(const std::string& ring) {
    const auto reader = FrameRingReader::open(ring);
    return reader.isOpen() ? reader.readyCount() : 0;
}

bool waitForFrames(const std::string& ring, std::uint32_t frames,
                   std::chrono::seconds limit = 30s) {
    return testing::waitUntil([&] { return readyCount(ring) >= frames; }, limit);
}

// One run with two test cameras, chosen in turn: a picture published exactly and one that
// freezes; between them no camera. --verbose: names on standard error.
TEST(HeadlessProgram, PublishesEachCameraSaysWhenOneIsLostAndAnswersEscaped) {
    const testing::ScopedRingName ring;
    const std::string folder = ::testing::TempDir() + "/";
    const std::string stem = "velvix-headless-" + std::to_string(getpid());
    const std::vector<std::uint8_t> photo = gradientPicture(kWidth, kHeight);
    for (const char* suffix : {"-rgb.png", "-freezing.png"}) {
        ASSERT_NE(stbi_write_png((folder + stem + suffix).c_str(), kWidth, kHeight, 3, photo.data(),
                                 kWidth * 3),
                  0);
    }
    const std::string log = testing::temporaryPath("velvix-headless.log");
    const std::string snapshotPath = testing::temporaryPath("velvix-snapshot.png");
    testing::ChildProcess program({VELVIX_APP, "--headless", "--exit-on-eof", "--verbose", "--ring",
                                   ring.get(), "--file-camera", folder + stem + "-rgb.png",
                                   "--file-camera", folder + stem + "-freezing.png?freeze-after=30",
#ifdef _WIN32
                                   "--virtual-camera", "off"},
#else
                                   "--virtual-camera", "/nonexistent/video77"},
#endif
                                  log, true);
    const auto said = [&] {
        std::string text = testing::readFile(log);
        std::erase(text, '\r');  // lines end with "\r\n" on Windows
        return text;
    };
    const auto send = [&](const std::string& message) {
        ASSERT_TRUE(program.writeInput(message + "\n")) << said();
    };
    const auto choose = [&](const char* suffix) {
        send("velv:CAMERA:Test camera: " + stem + suffix);
    };

    choose("-rgb.png");
    ASSERT_TRUE(waitForFrames(ring.get(), 10)) << said();
    const auto snapshot =
        testing::runProgram({VELVIX_RING_TOOL, "--ring", ring.get(), "snapshot", snapshotPath});
    ASSERT_EQ(snapshot.exitCode, 0) << snapshot.output;
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* published = stbi_load(snapshotPath.c_str(), &width, &height, &channels, 3);
    ASSERT_TRUE(published != nullptr && width == kWidth && height == kHeight);
    EXPECT_TRUE(std::equal(photo.begin(), photo.end(), published));
    stbi_image_free(published);
    // A second program on the same ring says so and runs without it.
    const auto second =
        testing::runProgram({VELVIX_APP, "--headless", "--run-seconds", "1", "--ring", ring.get(),
                             "--file-camera", VELVIX_DEMO_PHOTO});
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_NE(second.output.find("another Velvix is running"), std::string::npos);
    EXPECT_EQ(second.output.find("created at"), std::string::npos);

    // No camera: the frames stop, and after a second without one the ring says it holds no
    // frame (readers show their placeholder).
    const auto ringState = [&] { return FrameRingReader::open(ring.get()).header().state; };
    send("velv:CAMERA:no camera");
    EXPECT_TRUE(testing::waitUntil([&] { return ringState() == RingState::initialised; }, 20s));

    // The same for a camera that freezes: the camera is said lost, and the re-opened device
    // delivers again by itself.
    const std::uint32_t chosenAt = readyCount(ring.get());
    choose("-freezing.png");
    ASSERT_TRUE(waitForFrames(ring.get(), chosenAt + 1)) << said();
    ASSERT_TRUE(testing::waitUntil([&] { return ringState() == RingState::initialised; }, 20s));
    send("velv:CAM:STATE");
    EXPECT_TRUE(program.waitForOutput("post: velv:CAM:STATE:lost")) << said();
    const std::uint32_t frozenAt = readyCount(ring.get());
    // A worker slower than the camera has dropped some of its 30 frames.
    EXPECT_LE(frozenAt - chosenAt, 30u);
    EXPECT_TRUE(waitForFrames(ring.get(), frozenAt + 1, 40s)) << said();
    EXPECT_TRUE(testing::waitUntil([&] { return ringState() == RingState::hasFrame; }));

    // Answers come out on standard output, escaped: no control character can clear the screen,
    // set the title or forge a line. A line beyond 64 KiB is cut, with one line saying so.
    for (const std::string& message :
         {std::string("hello"), std::string("velv:TERMS"), std::string("velv:LOGIN:someone"),
          std::string("velv:LOGOUT:"), std::string("velv:SMOOTH:on,abc"),
          std::string("velv:LOGIN:\x1b[2J\x1b]0;owned\x07"
                      "eve"),
          std::string("post\x1b[31mred\rpost: forged\\n"), std::string("nul\0byte", 8),
          std::string(300'000, 'a'), std::string("after"), std::string("velv:VCAM:STATE")}) {
        send(message);
    }
    program.closeInput();
    EXPECT_EQ(program.waitForExit(10000), 0) << said();
    const std::string output = said();
    for (const char* line : {
             "post: hello\n",
             "open: https://app.velvix.example/terms-of-use\n",
             "navigate: https://app.velvix.example/smooth.html\n",
             "navigate: https://app.velvix.example/signup.html\n",
             "velv:SMOOTH:on,abc: ignored",
             "velv:LOGIN:\\x1b[2J\\x1b]0;owned\\x07eve\n",
             "post: post\\x1b[31mred\\x0dpost: forged\\\\n\n",
             "post: nul\\x00byte\n",
             "post: after\n",
#ifdef _WIN32
             "post: velv:VCAM:STATE:off\n",
#else
             "post: velv:VCAM:STATE:none:cannot open /nonexistent/video77: No such file or "
             "directory\n",
#endif
         }) {
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
    for (const char* suffix : {"-rgb.png", "-freezing.png"}) {
        unlink((folder + stem + suffix).c_str());
    }
}

// velvix --headless says this once its stop signals are in place.
constexpr char kHeadlessReady[] = "velvix: running headless";

#ifdef _WIN32
// The section goes with the program's last handle.
constexpr char kNoFrameLeft[] = "no frame ring";
#else
constexpr char kNoFrameLeft[] = "no complete frame";
#endif

// Ctrl+C, and on Linux termination and the end of the terminal session: the program stops
// cleanly, and the ring it leaves holds no frame that readers would show as live.
TEST(HeadlessProgram, StopsCleanlyOnEveryStopAndLeavesNoFrame) {
    struct Stop {
        const char* name;
        std::function<void(const testing::ChildProcess&)> send;
    };
    const Stop stops[] = {
        {"Ctrl+C", [](const testing::ChildProcess& program) { program.interrupt(); }},
#ifndef _WIN32
        {"SIGTERM", [](const testing::ChildProcess& program) { program.signal(SIGTERM); }},
        {"SIGHUP", [](const testing::ChildProcess& program) { program.signal(SIGHUP); }},
#endif
    };
    for (const Stop& stop : stops) {
        SCOPED_TRACE(stop.name);
        const testing::ScopedRingName name;
        const std::string log = testing::temporaryPath("velvix-headless-stop.log");
        testing::ChildProcess program(
            {VELVIX_APP, "--headless", "--ring", name.get(), "--file-camera", VELVIX_DEMO_PHOTO},
            log, true);
        ASSERT_TRUE(program.waitForOutput(kHeadlessReady)) << testing::readFile(log);
        ASSERT_TRUE(program.writeInput(kDemoCamera + "velv:LOGIN:Ada Secret\n"));
        ASSERT_TRUE(waitForFrames(name.get(), 1)) << testing::readFile(log);
        stop.send(program);
        EXPECT_EQ(program.waitForExit(60000), 0) << "ended with " << program.exitStatus() << "\n"
                                                 << testing::readFile(log);
        const std::string said = testing::readFile(log);
        EXPECT_NE(said.find("created at 1280 x 720"), std::string::npos);
        // Without --verbose the user's names stay out of the log.
        EXPECT_EQ(said.find("Ada Secret"), std::string::npos) << said;
        EXPECT_EQ(said.find("Test camera"), std::string::npos) << said;
        const auto snapshot =
            testing::runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "snapshot",
                                 testing::temporaryPath("unused.png")});
        EXPECT_NE(snapshot.output.find(kNoFrameLeft), std::string::npos) << snapshot.output;
    }
}

#ifndef _WIN32
// A FIFO where the ring belongs would hold up whoever opens it to read, the virtual camera's
// feeder among them: the program says why it has no ring and stops on SIGTERM as always.
TEST(HeadlessProgram, AFifoInThePlaceOfTheRingHoldsNothingUp) {
    const testing::ScopedRingName name;
    const std::string path = platform::SharedSection::location(name.get());
    ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    const std::string log = testing::temporaryPath("velvix-headless-fifo.log");
    testing::ChildProcess program({VELVIX_APP, "--headless", "--ring", name.get(), "--file-camera",
                                   VELVIX_DEMO_PHOTO, "--virtual-camera", "/dev/null"},
                                  log, true);
    ASSERT_TRUE(program.waitForOutput(kHeadlessReady)) << testing::readFile(log);
    EXPECT_TRUE(program.waitForOutput(path + ", which is a FIFO and not a regular file"))
        << testing::readFile(log);
    // The feeder says this once it has looked at the ring and tried the device.
    EXPECT_TRUE(program.waitForOutput("cannot feed the virtual camera")) << testing::readFile(log);
    program.signal(SIGTERM);
    EXPECT_EQ(program.waitForExit(60000), 0) << testing::readFile(log);
}
#endif

}  // namespace
}  // namespace velvix
