#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <fstream>

#include "process.hpp"
#include "section_access.hpp"
#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"

namespace velvix {
namespace {

using testing::runProgram;
using testing::ScopedRingName;

// Someone else's ring may carry a picture of their making, or be read by them; a FIFO would
// hold up a reader that waited for its writer. Both commands refuse them at once, saying why and
// that --ring takes another name.
TEST(RingTool, RefusesARingOthersMayOpenAndAFifoAtOnce) {
    ScopedRingName name;
    const testing::PlantedSection planted(name.get(), RingLayout::forSize({32, 16})->totalBytes);
    ASSERT_TRUE(planted.made());
    std::vector<std::pair<std::string, std::string>> plantedRings{
        {name.get(), "refusing shared memory"}};
#ifndef _WIN32
    ScopedRingName fifo;
    const std::string path = platform::SharedSection::location(fifo.get());
    ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    plantedRings.emplace_back(
        fifo.get(), "refusing shared memory " + path + ", which is a FIFO and not a regular file");
#endif
    for (const auto& [ringName, refusal] : plantedRings) {
        for (const std::string command : {"info", "snapshot"}) {
            std::vector<std::string> arguments{VELVIX_RING_TOOL, "--ring", ringName, command};
            if (command == "snapshot") {
                arguments.push_back(testing::temporaryPath("unused.png"));
            }
            const auto result = runProgram(arguments);
            EXPECT_EQ(result.exitCode, 1) << result.output;
            EXPECT_NE(result.output.find(refusal), std::string::npos) << result.output;
            EXPECT_NE(result.output.find("--ring"), std::string::npos) << result.output;
        }
    }
}

#ifndef _WIN32
// The ring lies in the user's runtime folder where that folder is the user's alone, else in
// /dev/shm, which a program says once, with the reason; the tool finds it where the writer
// put it.
TEST(RingTool, FindsTheRingWhereTheWriterPutIt) {
    const struct {
        // XDG_RUNTIME_DIR, with "+" for a runtime folder of the test's own (which holds a file,
        // a folder and a link to it); unset where null.
        const char* runtime;
        unsigned mode;       // the own folder's
        int owner;           // the own folder's, where not the user
        const char* reason;  // why not the runtime folder, where it is not
    } cases[] = {
        {"+", 0700, -1, nullptr},
        {"+", 0750, -1, "has mode 0750, not 0700"},
        {"+/file", 0700, -1, "cannot be opened as a folder"},
        {"+/link", 0700, -1, "cannot be opened as a folder"},
        {"velvix-runtime", 0700, -1, "is not an absolute path"},
        {nullptr, 0700, -1, "XDG_RUNTIME_DIR is not set"},
        {"+", 0700, 65534, "(uid 65534)"},
    };
    for (const auto& place : cases) {
        if (place.owner >= 0 && geteuid() != 0) {
            continue;
        }
        const testing::ScopedSectionFolder folder(testing::ScopedSectionFolder::Kind::runtime);
        const std::string own = folder.path();
        std::ofstream(own + "/file") << "x";
        ASSERT_EQ(mkdir((own + "/folder").c_str(), 0700), 0);
        ASSERT_EQ(symlink((own + "/folder").c_str(), (own + "/link").c_str()), 0);
        ASSERT_EQ(chmod(own.c_str(), place.mode), 0);
        ASSERT_EQ(chown(own.c_str(), place.owner, static_cast<gid_t>(-1)), 0);
        if (place.runtime == nullptr) {
            unsetenv("XDG_RUNTIME_DIR");
        } else {
            setenv("XDG_RUNTIME_DIR",
                   place.runtime[0] == '+' ? (own + (place.runtime + 1)).c_str() : place.runtime,
                   1);
        }
        ScopedRingName name;
        platform::DebugOnce debug;
        const auto ring = FrameRing::create(name.get(), {32, 16}, debug);
        const std::string path = (place.reason ? "/dev/shm/" : own + "/") + name.get();

        const auto result = runProgram({VELVIX_RING_TOOL, "--ring", name.get(), "info"});
        SCOPED_TRACE(std::string(place.reason ? place.reason : "own folder") + ": " +
                     result.output);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_NE(result.output.find("frame ring \"" + name.get() + "\" in " + path),
                  std::string::npos);
        EXPECT_EQ(testing::countLinesWith(result.output, "sections go to /dev/shm"),
                  place.reason ? 1 : 0);
        if (place.reason) {
            EXPECT_EQ(testing::countLinesWith(result.output, place.reason), 1);
        }
    }
}
#endif

}  // namespace
}  // namespace velvix
