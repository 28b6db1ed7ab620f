#include <gtest/gtest.h>
#include <stb_image.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>

#include "process.hpp"
#include "ring_commands.hpp"
#include "section_access.hpp"
#include "test_support.hpp"

namespace velvix {
namespace {

using testing::runProgram;
using testing::ScopedRingName;

// A frame whose pixel (x, y) in memory is blue x, green y, red 7 (bottom row first).
RingFrame gradientFrame(FrameSize size) {
    RingFrame frame;
    frame.size = size;
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            frame.pixels.insert(frame.pixels.end(),
                                {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 7});
        }
    }
    return frame;
}

TEST(RingCommands, TurnsFramesUprightAsRgb) {
    const auto rgb = ring_tool::uprightRgb(gradientFrame({4, 3}));
    // The top row of the picture is the last row in memory (y = 2).
    EXPECT_EQ((std::vector<std::uint8_t>(rgb.begin(), rgb.begin() + 6)),
              (std::vector<std::uint8_t>{7, 2, 0, 7, 2, 1}));
    EXPECT_EQ(rgb[(2 * 4 + 3) * 3 + 2], 3);  // bottom row, last column: blue 3
}

TEST(RingCommands, DescribesTheHeaderAndFlagsSlotsThatDoNotFit) {
    RingHeaderSnapshot header;
    header.state = RingState::hasFrame;
    header.width = 640;
    header.height = 480;
    header.frameInterval = 333333;
    header.slotOffset = {96, 921728, 12};
    const std::string text = ring_tool::describeHeader(header, 2'764'992);
    EXPECT_NE(text.find("frames available"), std::string::npos) << text;
    EXPECT_NE(text.find("header at 921728, pixels at 921760\n"), std::string::npos) << text;
    EXPECT_NE(text.find("header at 12, pixels at 44 (does not match"), std::string::npos) << text;
    EXPECT_NE(text.find("30.00 frames per second"), std::string::npos) << text;
}

TEST(RingTool, SnapshotSavesTheNewestFrameUpright) {
    ScopedRingName name;
    platform::DebugOnce debug;
    const FrameSize size{64, 48};
    auto ring = FrameRing::create(name.get(), size, debug);
    ring->publish(gradientFrame(size).pixels.data());

    const std::string path = ::testing::TempDir() + "/velvix-snapshot-test.png";
    const auto result = runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "snapshot", path});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* image = stbi_load(path.c_str(), &width, &height, &channels, 3);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(width, 64);
    EXPECT_EQ(height, 48);
    const auto expected = ring_tool::uprightRgb(gradientFrame(size));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image));
    stbi_image_free(image);
    std::remove(path.c_str());
}

TEST(RingTool, ReportsAMissingRingOrFrame) {
    ScopedRingName name;
    auto result = runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "info"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("no frame ring"), std::string::npos) << result.output;

    platform::DebugOnce debug;
    auto ring = FrameRing::create(name.get(), {32, 16}, debug);
    result = runProgram(
        {VELVIX_RING_TOOL, "--ring", name.get(), "snapshot", testing::temporaryPath("unused.png")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("no complete frame"), std::string::npos) << result.output;

    result = runProgram({VELVIX_RING_TOOL, "frobnicate"});
    EXPECT_EQ(result.exitCode, 2);
}

// Both commands refuse what is planted under the ring's name, saying why and that --ring
// takes another name, show nothing of it and end at once.
void expectBothCommandsRefuse(const std::string& name, const std::string& refusal) {
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"info"}, {"snapshot", testing::temporaryPath("unused.png")}}) {
        std::vector<std::string> arguments = {VELVIX_RING_TOOL, "--ring", name};
        arguments.insert(arguments.end(), command.begin(), command.end());
        const auto result = runProgram(arguments);
        EXPECT_EQ(result.exitCode, 1) << result.output;
        EXPECT_NE(result.output.find(refusal), std::string::npos) << result.output;
        EXPECT_NE(result.output.find("--ring"), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("frame 1,"), std::string::npos) << result.output;
    }
}

// Someone else's ring may carry a picture of their making, or be read by them.
TEST(RingTool, RefusesARingOthersMayOpen) {
    ScopedRingName name;
#ifdef _WIN32
    const testing::PlantedSection planted(name.get(), RingLayout::forSize({32, 16})->totalBytes);
    ASSERT_TRUE(planted.made());
#else
    platform::DebugOnce debug;
    FrameRing::create(name.get(), {32, 16}, debug)->publish(gradientFrame({32, 16}).pixels.data());
    ASSERT_EQ(chmod(platform::SharedSection::location(name.get()).c_str(), 0666), 0);
#endif
    expectBothCommandsRefuse(name.get(), "refusing shared memory");
}

#ifndef _WIN32
// A FIFO would hold up a reader that waited for its writer. (Every kind of object in every
// place is refused by the shared sections themselves.)
TEST(RingTool, RefusesAFifoInThePlaceOfTheRingAtOnce) {
    ScopedRingName name;
    const std::string path = platform::SharedSection::location(name.get());
    ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    expectBothCommandsRefuse(
        name.get(), "refusing shared memory " + path + ", which is a FIFO and not a regular file");
}

using Place = testing::ScopedSectionFolder::Kind;

// The ring lies in the user's runtime folder where that folder is the user's alone, else in
// /dev/shm, which a program says once, with the reason; the tool finds it where the writer
// put it.
TEST(RingTool, FindsTheRingWhereTheWriterPutIt) {
    struct Case {
        const char* what;
        // Points XDG_RUNTIME_DIR as the case has it, given a runtime folder of the test's own;
        // gives back the folder the ring belongs in.
        std::function<std::string(const std::string& own)> point;
        const char* reason;  // why not the runtime folder, where it is not
    };
    std::vector<Case> cases = {
        {"the user's own", [](const std::string& own) { return own; }, nullptr},
        {"the user's own, with a slash",
         [](const std::string& own) {
             setenv("XDG_RUNTIME_DIR", (own + "/").c_str(), 1);
             return own;
         },
         nullptr},
        {"open to its group",
         [](const std::string& own) {
             chmod(own.c_str(), 0750);
             return std::string("/dev/shm");
         },
         "has mode 0750, not 0700"},
        {"a file",
         [](const std::string& own) {
             std::ofstream(own + "/file") << "x";
             setenv("XDG_RUNTIME_DIR", (own + "/file").c_str(), 1);
             return std::string("/dev/shm");
         },
         "cannot be opened as a folder"},
        {"a link to a folder",
         [](const std::string& own) {
             mkdir((own + "/folder").c_str(), 0700);
             symlink((own + "/folder").c_str(), (own + "/link").c_str());
             setenv("XDG_RUNTIME_DIR", (own + "/link").c_str(), 1);
             return std::string("/dev/shm");
         },
         "cannot be opened as a folder"},
        {"relative",
         [](const std::string&) {
             setenv("XDG_RUNTIME_DIR", "velvix-runtime", 1);
             return std::string("/dev/shm");
         },
         "is not an absolute path"},
        {"not set",
         [](const std::string&) {
             unsetenv("XDG_RUNTIME_DIR");
             return std::string("/dev/shm");
         },
         "XDG_RUNTIME_DIR is not set"},
    };
    if (geteuid() == 0) {
        cases.push_back({"another user's",
                         [](const std::string& own) {
                             chown(own.c_str(), 65534, static_cast<gid_t>(-1));
                             return std::string("/dev/shm");
                         },
                         "(uid 65534)"});
    }
    for (const Case& place : cases) {
        const testing::ScopedSectionFolder folder(Place::runtime);
        ASSERT_FALSE(folder.path().empty());
        const std::string path = place.point(folder.path()) + "/";
        ScopedRingName name;
        platform::DebugOnce debug;
        auto ring = FrameRing::create(name.get(), {32, 16}, debug);
        ASSERT_TRUE(ring) << place.what;
        ring->publish(gradientFrame({32, 16}).pixels.data());
        EXPECT_EQ(testing::permissionBits(path + name.get()), 0600u) << place.what;

        const auto result = runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "info"});
        EXPECT_EQ(result.exitCode, 0) << place.what << ": " << result.output;
        EXPECT_NE(result.output.find("frame ring \"" + name.get() + "\" in " + path + name.get()),
                  std::string::npos)
            << place.what << ": " << result.output;
        EXPECT_EQ(testing::countLinesWith(result.output, "sections go to /dev/shm"),
                  place.reason ? 1 : 0)
            << place.what << ": " << result.output;
        if (place.reason) {
            EXPECT_EQ(testing::countLinesWith(result.output, place.reason), 1)
                << place.what << ": " << result.output;
        }
    }
}
#endif

#ifndef _WIN32
TEST(RingTool, RefusesDevicesThatAreNotLoopbackOutputs) {
    auto result = runProgram({VELVIX_RING_TOOL, "v4l2", "/dev/null"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.output.find("/dev/null is not a video device"), std::string::npos)
        << result.output;
    result = runProgram({VELVIX_RING_TOOL, "v4l2", "/dev/velvix-no-such-device"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.output.find("cannot open /dev/velvix-no-such-device"), std::string::npos)
        << result.output;
    result = runProgram({VELVIX_RING_TOOL, "v4l2", "/dev/null", "--size", "640by480"});
    EXPECT_EQ(result.exitCode, 2);
    result = runProgram({VELVIX_RING_TOOL, "v4l2", "/dev/null", "--format", "mjpeg"});
    EXPECT_EQ(result.exitCode, 2);
}
#endif

}  // namespace
}  // namespace velvix
