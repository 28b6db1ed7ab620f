#include <gtest/gtest.h>
#include <stb_image.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>

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

// One ring through its states: none yet, made without a frame, and with one, which the
// snapshot saves upright (the picture's top row is the last row in memory).
TEST(RingTool, ReportsAMissingRingOrFrameAndSnapshotsTheNewestUpright) {
    ScopedRingName name;
    const std::string path = testing::temporaryPath("velvix-snapshot") + ".png";
    const std::vector<std::string> snapshot = {VELVIX_RING_TOOL, "--ring", name.get(), "snapshot",
                                               path};
    auto result = runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "info"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("no frame ring"), std::string::npos) << result.output;

    platform::DebugOnce debug;
    const FrameSize size{64, 48};
    auto ring = FrameRing::create(name.get(), size, debug);
    result = runProgram(snapshot);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("no complete frame"), std::string::npos) << result.output;

    ring->publish(gradientFrame(size).pixels.data());
    result = runProgram(snapshot);
    ASSERT_EQ(result.exitCode, 0) << result.output;
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* image = stbi_load(path.c_str(), &width, &height, &channels, 3);
    std::remove(path.c_str());
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(FrameSize(width, height), size);
    for (int row = 0; row < size.height; ++row) {
        for (int x = 0; x < size.width; ++x) {
            const stbi_uc* pixel = image + (static_cast<std::size_t>(row) * size.width + x) * 3;
            ASSERT_EQ(std::vector<int>(pixel, pixel + 3), (std::vector<int>{7, 47 - row, x}))
                << "column " << x << " row " << row;
        }
    }
    stbi_image_free(image);
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

// Someone else's ring may carry a picture of their making, or be read by them; a FIFO would
// hold up a reader that waited for its writer. (Every kind of object in every place is refused
// by the shared sections themselves.)
TEST(RingTool, RefusesARingOthersMayOpenAndAFifoAtOnce) {
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
#ifndef _WIN32
    ScopedRingName fifo;
    const std::string path = platform::SharedSection::location(fifo.get());
    ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    expectBothCommandsRefuse(
        fifo.get(), "refusing shared memory " + path + ", which is a FIFO and not a regular file");
#endif
}

#ifndef _WIN32
using Place = testing::ScopedSectionFolder::Kind;

// The ring lies in the user's runtime folder where that folder is the user's alone, else in
// /dev/shm, which a program says once, with the reason; the tool finds it where the writer
// put it.
TEST(RingTool, FindsTheRingWhereTheWriterPutIt) {
    struct Case {
        const char* what;
        // XDG_RUNTIME_DIR, with "+" for a runtime folder of the test's own (which holds a file,
        // a folder and a link to it); unset where null.
        const char* runtime;
        unsigned mode;       // the own folder's
        int owner;           // the own folder's, where not the user
        const char* reason;  // why not the runtime folder, where it is not
    };
    const Case cases[] = {
        {"the user's own", "+", 0700, -1, nullptr},
        {"the user's own, with a slash", "+/", 0700, -1, nullptr},
        {"open to its group", "+", 0750, -1, "has mode 0750, not 0700"},
        {"a file", "+/file", 0700, -1, "cannot be opened as a folder"},
        {"a link to a folder", "+/link", 0700, -1, "cannot be opened as a folder"},
        {"relative", "velvix-runtime", 0700, -1, "is not an absolute path"},
        {"not set", nullptr, 0700, -1, "XDG_RUNTIME_DIR is not set"},
        {"another user's", "+", 0700, 65534, "(uid 65534)"},
    };
    for (const Case& place : cases) {
        if (place.owner >= 0 && geteuid() != 0) {
            continue;
        }
        const testing::ScopedSectionFolder folder(Place::runtime);
        const std::string own = folder.path();
        ASSERT_FALSE(own.empty());
        std::ofstream(own + "/file") << "x";
        ASSERT_EQ(mkdir((own + "/folder").c_str(), 0700), 0);
        ASSERT_EQ(symlink((own + "/folder").c_str(), (own + "/link").c_str()), 0);
        ASSERT_EQ(chmod(own.c_str(), place.mode), 0);
        if (place.owner >= 0) {
            ASSERT_EQ(chown(own.c_str(), place.owner, static_cast<gid_t>(-1)), 0);
        }
        if (place.runtime == nullptr) {
            unsetenv("XDG_RUNTIME_DIR");
        } else if (place.runtime[0] == '+') {
            setenv("XDG_RUNTIME_DIR", (own + (place.runtime + 1)).c_str(), 1);
        } else {
            setenv("XDG_RUNTIME_DIR", place.runtime, 1);
        }
        ScopedRingName name;
        platform::DebugOnce debug;
        auto ring = FrameRing::create(name.get(), {32, 16}, debug);
        ASSERT_TRUE(ring) << place.what;
        ring->publish(gradientFrame({32, 16}).pixels.data());
        const std::string path = (place.reason ? "/dev/shm/" : own + "/") + name.get();
        EXPECT_EQ(testing::permissionBits(path), 0600u) << place.what;

        const auto result = runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "info"});
        const std::string said = std::string(place.what) + ": " + result.output;
        EXPECT_EQ(result.exitCode, 0) << said;
        EXPECT_NE(result.output.find("frame ring \"" + name.get() + "\" in " + path),
                  std::string::npos)
            << said;
        EXPECT_EQ(testing::countLinesWith(result.output, "sections go to /dev/shm"),
                  place.reason ? 1 : 0)
            << said;
        if (place.reason) {
            EXPECT_EQ(testing::countLinesWith(result.output, place.reason), 1) << said;
        }
    }
}
#endif

}  // namespace
}  // namespace velvix
