// A reader in another process checks every frame it accepts while the writer publishes as fast
// as it can. The reader runs at the lowest priority against a busy second core, so that it is
// often interrupted in the middle of a copy, as a virtual camera on a loaded machine would be.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "test_support.hpp"
#include "velvix/pipeline/frame_ring.hpp"

namespace velvix {
namespace {

constexpr FrameSize kSize{320, 240};
constexpr std::uint32_t kFramesToAccept = 20;     // whole frames read end the writing
constexpr auto kLimit = std::chrono::minutes(2);  // for a machine slowed down by a sanitizer

// Frame n: its number in the first four bytes, then one byte value derived from n.
const std::vector<std::uint8_t>& stamped(std::vector<std::uint8_t>& pixels,
                                         std::uint32_t frameNumber) {
    pixels.resize(static_cast<std::size_t>(kSize.pixels()) * 3);
    std::fill(pixels.begin(), pixels.end(), static_cast<std::uint8_t>(frameNumber * 31u + 5u));
    std::memcpy(pixels.data(), &frameNumber, sizeof frameNumber);
    return pixels;
}

struct ReaderReport {
    std::uint32_t broken = 0;    // of the frames taken, the same one again included
    std::uint32_t accepted = 0;  // frames of numbers not taken before
};

bool send(int fd, const ReaderReport& report) {
    return write(fd, &report, sizeof report) == static_cast<ssize_t>(sizeof report);
}

// Reads until the writer ends publishing, reporting once when it has accepted the frames asked
// for and once at the end.
[[noreturn]] void runReader(const std::string& name, int reportFd) {
    (void)nice(19);
    ReaderReport report;
    auto reader = FrameRingReader::open(name);
    RingFrame frame;
    std::vector<std::uint8_t> expected;
    std::uint32_t lastAccepted = 0;
    bool sent = true;
    for (bool reading = true; reading;) {
        switch (reader.readNewest(frame, 1)) {
            case FrameRingReader::ReadOutcome::frame:
                report.broken += frame.pixels == stamped(expected, frame.frameNumber) ? 0 : 1;
                if (frame.frameNumber != std::exchange(lastAccepted, frame.frameNumber) &&
                    ++report.accepted == kFramesToAccept) {
                    sent = send(reportFd, report);
                }
                break;
            case FrameRingReader::ReadOutcome::busy:
                break;
            default:  // the writer has ended publishing
                reading = false;
        }
    }
    sent = send(reportFd, report) && sent;
    _exit(sent ? 0 : 1);
}

TEST(FrameRingStress, AReaderInAnotherProcessAcceptsOnlyWholeFrames) {
    testing::ScopedRingName name;
    platform::DebugOnce debug;
    auto ring = FrameRing::create(name.get(), kSize, debug);
    ASSERT_TRUE(ring);
    std::vector<std::uint8_t> pixels;
    ring->publish(stamped(pixels, 1).data());

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
    const auto end = std::chrono::steady_clock::now() + kLimit;
    for (pollfd report{fds[0], POLLIN, 0};
         poll(&report, 1, 0) == 0 && std::chrono::steady_clock::now() < end;) {
        ring->publish(stamped(pixels, ++published).data());
    }
    ring->endPublishing();
    writing = false;
    busyCore.join();

    ReaderReport report;
    for (ReaderReport next; read(fds[0], &next, sizeof next) == sizeof next;) {
        report = next;
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_EQ(report.broken, 0u);
    EXPECT_GE(report.accepted, kFramesToAccept) << "of " << published << " published";
}

// The section's owner may cut it down at any moment, in the middle of a copy too: then the copy
// ends, not the writer or the reader. Another process flips the section's size between nothing
// and whole while this one publishes and reads, until copies have met both.
TEST(FrameRingStress, ASectionCutDownUnderTheCopiesEndsThemNotTheProgram) {
#ifdef __SANITIZE_THREAD__
    // A fault inside the sanitizer's atomics leaves its lock taken; default and asan builds run it.
    GTEST_SKIP() << "a fault inside the thread sanitizer's atomics cannot be left";
#endif
    testing::ScopedRingName name;
    platform::DebugOnce debug;
    auto ring = FrameRing::create(name.get(), kSize, debug);
    ASSERT_TRUE(ring);
    const auto reader = FrameRingReader::open(name.get());
    const auto bytes = static_cast<off_t>(ring->sectionBytes());
    const int section = open(platform::SharedSection::location(name.get()).c_str(), O_RDWR);
    ASSERT_GE(section, 0);

    int stop[2];
    ASSERT_EQ(pipe2(stop, O_NONBLOCK), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(stop[1]);
        char byte = 0;
        for (off_t flip = 0; flip % 64 != 0 || read(stop[0], &byte, 1) != 0; ++flip) {
            (void)ftruncate(section, flip % 2 == 0 ? 0 : bytes);
        }
        _exit(ftruncate(section, bytes) == 0 ? 0 : 1);
    }
    close(stop[0]);

    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kSize.pixels()) * 3, 7);
    std::uint32_t whole = 0;
    std::uint32_t cut = 0;
    RingFrame frame;
    const auto end = std::chrono::steady_clock::now() + kLimit;
    while ((whole < 100 || cut < 100) && std::chrono::steady_clock::now() < end) {
        ++(ring->publish(pixels.data()) ? whole : cut);
        reader.readNewest(frame, 1);
    }
    close(stop[1]);
    int status = 0;
    waitpid(child, &status, 0);
    close(section);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GE(cut, 100u) << whole << " whole copies";
    EXPECT_GE(whole, 100u) << cut << " copies cut short";
}

}  // namespace
}  // namespace velvix
