#include <gtest/gtest.h>
#include <signal.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <functional>

#include "process.hpp"
#include "ring_commands.hpp"
#include "test_support.hpp"
#include "velvix/platform/shared_memory.hpp"

namespace velvix {
namespace {

using testing::runProgram;
using testing::ScopedRingName;

// velvix --headless says this once its stop signals are in place.
constexpr char kHeadlessReady[] = "velvix: running headless";
// And this once it has read the shipped landmark model.
constexpr char kModelRead[] = "velvix.dat: 5 stages";
const std::string kDemoCamera = "velv:CAMERA:Test camera: astronaut.png\n";

std::uint32_t readyCountOf(const std::string& name) {
    const auto reader = FrameRingReader::open(name);
    return reader.isOpen() ? reader.readyCount() : 0;
}

bool waitForFrames(const std::string& name, std::uint32_t frames) {
    return testing::waitUntil([&] { return readyCountOf(name) >= frames; },
                              std::chrono::seconds(30));
}

// Whichever way the program stops, it stops cleanly, and the ring it leaves holds no frame
// that readers would show as live.
// The ways a program without a window is asked to stop: Ctrl+C on every system, on Linux also
// termination and the end of the terminal session; and the end of --run-seconds (no stop).
struct Stop {
    const char* name;
    std::function<void(const testing::ChildProcess&)> send;
};

const std::vector<Stop>& stops() {
    static const std::vector<Stop> all = {
        {"Ctrl+C", [](const testing::ChildProcess& program) { program.interrupt(); }},
#ifndef _WIN32
        {"SIGTERM", [](const testing::ChildProcess& program) { program.signal(SIGTERM); }},
        {"SIGHUP", [](const testing::ChildProcess& program) { program.signal(SIGHUP); }},
#endif
        {"--run-seconds", nullptr},
    };
    return all;
}

#ifdef _WIN32
// The section goes with the program's last handle.
constexpr char kNoFrameLeft[] = "no frame ring";
#else
constexpr char kNoFrameLeft[] = "no complete frame";
#endif

TEST(HeadlessProgram, StopsCleanlyOnEveryStopAndLeavesNoFrame) {
    for (const Stop& stop : stops()) {
        ScopedRingName name;
        const std::string log = testing::temporaryPath("velvix-headless-stop.log");
        std::vector<std::string> arguments = {VELVIX_APP, "--headless",    "--ring",
                                              name.get(), "--file-camera", VELVIX_DEMO_PHOTO};
        if (!stop.send) {
            arguments.insert(arguments.end(), {"--run-seconds", "6"});
        }
        testing::ChildProcess program(arguments, log, true);
        ASSERT_TRUE(program.waitForOutput(kHeadlessReady)) << testing::readFile(log);
        ASSERT_TRUE(program.writeInput(kDemoCamera));
        // A loaded machine may end the run before its first frame; the signals come after one.
        if (stop.send) {
            ASSERT_TRUE(waitForFrames(name.get(), 1)) << testing::readFile(log);
            stop.send(program);
        }
        EXPECT_EQ(program.waitForExit(60000), 0)
            << stop.name << ", ended with " << program.exitStatus() << "\n"
            << testing::readFile(log);
        const std::string said = testing::readFile(log);
        EXPECT_NE(said.find("created at 1280 x 720"), std::string::npos);
        // The landmark model is read at start, though smoothing is never switched on: the first
        // smoothed frame must not wait for it.
        EXPECT_NE(said.find(kModelRead), std::string::npos) << said;
        const auto snapshot = runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "snapshot",
                                          testing::temporaryPath("unused.png")});
        EXPECT_NE(snapshot.output.find(kNoFrameLeft), std::string::npos)
            << stop.name << ": " << snapshot.output;
    }
}

// Two programs on one ring: the second says so and runs without it, and the first goes on.
TEST(HeadlessProgram, ASecondProgramOnTheSameRingRunsWithoutIt) {
    ScopedRingName name;
    const std::string firstLog = testing::temporaryPath("velvix-headless-first.log");
    const std::string secondLog = testing::temporaryPath("velvix-headless-second.log");
    testing::ChildProcess first({VELVIX_APP, "--headless", "--exit-on-eof", "--ring", name.get(),
                                 "--file-camera", VELVIX_DEMO_PHOTO},
                                firstLog, true);
    ASSERT_TRUE(first.waitForOutput("created at 1280 x 720")) << testing::readFile(firstLog);
    ASSERT_TRUE(first.writeInput(kDemoCamera));
    ASSERT_TRUE(waitForFrames(name.get(), 1)) << testing::readFile(firstLog);

    testing::ChildProcess second({VELVIX_APP, "--headless", "--exit-on-eof", "--ring", name.get(),
                                  "--file-camera", VELVIX_DEMO_PHOTO},
                                 secondLog, true);
    ASSERT_TRUE(second.waitForOutput("another Velvix is running")) << testing::readFile(secondLog);
    ASSERT_TRUE(second.writeInput(kDemoCamera));
    const std::uint32_t before = readyCountOf(name.get());
    EXPECT_TRUE(waitForFrames(name.get(), before + 5));
    second.closeInput();
    EXPECT_EQ(second.waitForExit(20000), 0) << testing::readFile(secondLog);
    EXPECT_EQ(testing::readFile(secondLog).find("created at"), std::string::npos);
    // The first program's ring is untouched by the second one's end.
    EXPECT_TRUE(waitForFrames(name.get(), readyCountOf(name.get()) + 3));

    first.closeInput();
    EXPECT_EQ(first.waitForExit(20000), 0) << testing::readFile(firstLog);
}

#ifndef _WIN32
// A FIFO where the ring belongs would hold up whoever opens it to read, the virtual camera's
// feeder among them: the program says why it has no ring and stops on SIGTERM as always.
TEST(HeadlessProgram, AFifoInThePlaceOfTheRingHoldsNothingUp) {
    ScopedRingName name;
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

TEST(HeadlessProgram, RejectsUnknownOptions) {
    const auto result = runProgram({VELVIX_APP, "--headless", "--bogus"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.output.find("unknown option --bogus"), std::string::npos);
}

}  // namespace
}  // namespace velvix
