// A reader in another process checks every frame it accepts while the writer publishes as fast
// as it can. The reader runs at the lowest priority against a busy second core, so that it is
// often interrupted in the middle of a copy, as a virtual camera on a loaded machine would be.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"

namespace velvix {
namespace {

constexpr FrameSize kSize{320, 240};
constexpr auto kDuration = std::chrono::seconds(3);

// Frame n: its number in the first four bytes, then one byte value derived from n.
std::uint8_t fillFor(std::uint32_t frameNumber) {
    return static_cast<std::uint8_t>(frameNumber * 31u + 5u);
}

void stamp(std::vector<std::uint8_t>& pixels, std::uint32_t frameNumber) {
    std::memcpy(pixels.data(), &frameNumber, sizeof frameNumber);
    std::memset(pixels.data() + sizeof frameNumber, fillFor(frameNumber),
                pixels.size() - sizeof frameNumber);
}

bool isWholeFrame(const RingFrame& frame) {
    std::uint32_t stamped = 0;
    std::memcpy(&stamped, frame.pixels.data(), sizeof stamped);
    const std::uint8_t fill = fillFor(frame.frameNumber);
    return stamped == frame.frameNumber &&
           std::all_of(frame.pixels.begin() + sizeof stamped, frame.pixels.end(),
                       [fill](std::uint8_t byte) { return byte == fill; });
}

struct ReaderReport {
    std::uint32_t accepted = 0;
    std::uint32_t broken = 0;
    std::uint32_t busy = 0;
};

[[noreturn]] void runReader(const std::string& name, int reportFd) {
    (void)nice(19);
    ReaderReport report;
    auto reader = FrameRingReader::open(name);
    RingFrame frame;
    const auto end = std::chrono::steady_clock::now() + kDuration;
    while (std::chrono::steady_clock::now() < end) {
        switch (reader.readNewest(frame, 1)) {
            case FrameRingReader::Result::frame:
                ++report.accepted;
                report.broken += isWholeFrame(frame) ? 0 : 1;
                break;
            case FrameRingReader::Result::busy:
                ++report.busy;
                break;
            default:
                break;
        }
    }
    const auto written = write(reportFd, &report, sizeof report);
    _exit(written == sizeof report ? 0 : 1);
}

TEST(FrameRingStress, AReaderInAnotherProcessAcceptsOnlyWholeFrames) {
    testing::ScopedRingName name;
    platform::DebugOnce debug;
    auto ring = FrameRing::create(name.get(), kSize, debug);
    ASSERT_TRUE(ring);
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kSize.pixels()) * 3);
    stamp(pixels, 1);
    ring->publish(pixels.data());

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        runReader(name.get(), fds[1]);
    }
    close(fds[1]);

    std::atomic<bool> writing{true};
    std::thread busyCore([&writing] {
        volatile std::uint64_t spins = 0;
        while (writing.load(std::memory_order_relaxed)) {
            spins = spins + 1;
        }
    });
    std::uint32_t published = 1;
    const auto end = std::chrono::steady_clock::now() + kDuration + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < end) {
        stamp(pixels, ++published);
        ring->publish(pixels.data());
    }
    writing = false;
    busyCore.join();

    ReaderReport report;
    ASSERT_EQ(read(fds[0], &report, sizeof report), static_cast<ssize_t>(sizeof report));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    RecordProperty("published", static_cast<int>(published));
    RecordProperty("accepted", static_cast<int>(report.accepted));
    RecordProperty("busy", static_cast<int>(report.busy));
    EXPECT_EQ(report.broken, 0u) << "of " << report.accepted << " accepted frames";
    // Slowed down and interrupted, the reader still gets whole frames through now and then.
    EXPECT_GE(report.accepted, 5u) << "published " << published << ", busy " << report.busy;
}

}  // namespace
}  // namespace velvix
