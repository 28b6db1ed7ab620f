#include "velvix/pipeline/frame_worker.hpp"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <functional>
#include <optional>

#include "fake_steps.hpp"
#include "section_access.hpp"
#include "test_support.hpp"

namespace velvix {
namespace {

using platform::SharedSection;
using Log = std::vector<std::string>;

RingHeader& headerOf(SharedSection& section) {
    return *reinterpret_cast<RingHeader*>(section.data());
}

class FrameWorkerTest : public ::testing::Test {
  protected:
    // Runs ticks, a new camera frame before each when asked, and gives what the camera was told.
    Log ticks(int count, bool withFrames = false) {
        const std::size_t mark = camera.log.size();
        for (int i = 0; i < count; ++i) {
            if (withFrames) {
                camera.queueFrame([](int, int, std::uint8_t* pixel) { pixel[0] = 200; });
            }
            worker.tick(stop.get_token());
        }
        return {camera.log.begin() + static_cast<std::ptrdiff_t>(mark), camera.log.end()};
    }
    // The pacer's pauses while the ring is being re-created.
    void onResizePause(std::function<void()> pause) {
        clock.onSleep = [pause](std::uint32_t ms) {
            if (ms == kResizeRetryMilliseconds) {
                pause();
            }
        };
    }

    testing::ScopedRingName name;
    ControlBlock control;
    testing::ScriptedCamera camera;
    testing::FakeClock clock;
    testing::MarkingSmoother smoother;
    testing::ScriptedFaceStep faceStep;
    std::stop_source stop;
    FrameWorker worker{{control, camera, {&faceStep, &smoother}, clock, name.get()}};
};

// Nothing is opened before the first camera message; the first places its requests and opens
// the camera, naming it again changes nothing, another one is opened once the active one is
// closed, and "off" only closes. Frames are smoothed at the level taken over. A camera that
// stops capturing (still unplugged at the first retry) is tried again every kRetryTicks, asking
// for the size again but not the frame period (the headless program's lost-camera run asserts
// the ring's "no frame" after a second and the reopening end to end).
TEST_F(FrameWorkerTest, OpensTheChosenCameraAndTriesALostOneAgain) {
    worker.startUp();
    const std::uint64_t start = worker.pacer().deadline();
    ticks(90);
    EXPECT_EQ(camera.log, (Log{"count"}));
    EXPECT_EQ(worker.pacer().deadline(), start + 90 * kFramePeriod);
    control.requestCamera(1);
    EXPECT_EQ(ticks(1), (Log{"period 1 333333", "size 1 1280x720 rgb24", "connector 1 0", "open 1",
                             "reconnect 1 90"}));
    control.requestCamera(1);
    EXPECT_TRUE(ticks(3).empty());
    control.requestCamera(kCameraOff);
    EXPECT_EQ(ticks(1), (Log{"close 1"}));
    control.requestCamera(0);
    control.requestSmoothOn(70);
    ticks(2, true);
    EXPECT_EQ(smoother.lastLevel, 70);
    EXPECT_EQ(camera.opensOf(0), 1);
    control.requestCamera(1);
    EXPECT_EQ(ticks(1).at(0), "close 0");

    camera.loseDevice(1);
    camera.failingOpens[1] = 1;
    ticks(kRetryTicks);
    EXPECT_EQ(camera.opensOf(1), 2);
    const auto retry = ticks(1);
    ASSERT_GE(retry.size(), 3u);
    EXPECT_EQ((Log{retry.end() - 3, retry.end()}),
              (Log{"size 1 1280x720 rgb24", "connector 1 0", "open 1"}));
    EXPECT_TRUE(testing::linesStartingWith(retry, "period").empty());
    ticks(kRetryTicks - 1);
    EXPECT_EQ(camera.opensOf(1), 3);
    ticks(1);
    EXPECT_EQ(camera.opensOf(1), 4);
    EXPECT_EQ(worker.retryTicks(), 0);
}

// Attached to another program's smaller ring, the worker re-creates it at that size on the first
// frame, the state left alone meanwhile; readers see its own ring resizing while re-created.
TEST_F(FrameWorkerTest, ARingOfAnotherSizeIsRecreatedAtItOnTheFirstFrame) {
    auto foreign =
        SharedSection::openOrCreate(name.get(), RingLayout::forSize({640, 480})->totalBytes);
    headerOf(foreign) = RingHeader{};
    headerOf(foreign).width = 640;
    headerOf(foreign).height = 480;
    headerOf(foreign).state = RingState::hasFrame;
    worker.startUp();
    std::vector<RingState> statesDuringPauses;
    onResizePause([&] { statesDuringPauses.push_back(headerOf(foreign).state); });
    control.requestCamera(0);
    ticks(1, true);
    EXPECT_EQ(worker.frameSize(), (FrameSize{640, 480}));
    ASSERT_TRUE(requestRingSize(name.get(), {320, 240}));
    ticks(1, true);
    EXPECT_EQ(statesDuringPauses,
              (std::vector<RingState>{RingState::hasFrame, RingState::resizing}));
    EXPECT_EQ(worker.ring()->size(), (FrameSize{320, 240}));
}

// A request the worker cannot serve at once, because another writer took the ring meanwhile or
// the section was opened to others, is kept: the next ring is made at the size asked for, and
// the header says so. A ring that cannot be re-created at all (the section replaced by one the
// program must not use) is tried again until the worker is stopped, and the next frame after
// that creates it.
TEST_F(FrameWorkerTest, ARequestIsKeptWhileTheRingCannotBeRecreated) {
    struct Obstacle {
        FrameSize asked;
        std::function<void()> place;  // at each pause of the re-creation
        std::function<void()> remove;
        bool heldOpen = true;  // on Windows a section disappears with its last handle
    };
    SharedSection otherWriter;
    std::optional<testing::UnusableSection> unusable;
    int pauses = 0;
    std::vector<Obstacle> obstacles = {{{640, 480},
                                        [&] {
                                            otherWriter = SharedSection::open(
                                                name.get(), SharedSection::Access::readWrite);
                                            ASSERT_TRUE(otherWriter.tryLockForWriting());
                                        },
                                        [&] { otherWriter.close(); }},
                                       {{480, 360},
                                        [&] {
                                            if (++pauses == 1) {
                                                SharedSection::remove(name.get());
                                                unusable.emplace(name.get());
                                            }
                                            if (pauses == 5) {
                                                stop.request_stop();
                                            }
                                        },
                                        [&] {
                                            unusable.reset();
                                            SharedSection::remove(name.get());
                                            stop = std::stop_source();
                                        },
                                        false}};
#ifndef _WIN32
    const std::string path = SharedSection::location(name.get());
    obstacles.push_back({{320, 240},
                         [&] { ASSERT_EQ(chmod(path.c_str(), 0666), 0); },
                         [&] { ASSERT_EQ(chmod(path.c_str(), 0600), 0); }});
#endif
    worker.startUp();
    control.requestCamera(0);
    ticks(1, true);
    for (const Obstacle& obstacle : obstacles) {
        SCOPED_TRACE(obstacle.asked.width);
        std::optional<FrameRingReader> holder;
        if (obstacle.heldOpen) {
            holder.emplace(FrameRingReader::open(name.get()));
        }
        ASSERT_TRUE(requestRingSize(name.get(), obstacle.asked));
        onResizePause(obstacle.place);
        ticks(1, true);
        clock.onSleep = nullptr;
        EXPECT_EQ(worker.ring(), nullptr);
        obstacle.remove();
        ticks(1, true);
        ASSERT_NE(worker.ring(), nullptr);
        EXPECT_EQ(worker.ring()->size(), obstacle.asked);
        const auto header = FrameRingReader::open(name.get()).header();
        EXPECT_EQ((FrameSize{header.width, header.height}), obstacle.asked);
    }
    EXPECT_EQ(pauses, 5);
}

// Windows sections never grow or shrink.
#ifndef _WIN32
// The whole 1920 x 1080 path runs in grown buffers: fetch, face step, smoothing, mask, publish.
// The section's owner may cut it down under the worker: that ends the ring, not the worker.
TEST_F(FrameWorkerTest, ARequestForALargerSizeGrowsTheSectionAndACutDownEndsTheRing) {
    worker.startUp();
    control.requestCamera(0);
    control.requestSmoothOn(40);
    const FrameSize large{1920, 1080};
    ASSERT_TRUE(requestRingSize(name.get(), large));
    ticks(2, true);
    EXPECT_EQ(smoother.lastSize, large);
    EXPECT_EQ(FrameRingReader::open(name.get()).readyCount(), 1u);
    ASSERT_TRUE(testing::truncateSection(name.get(), 0));
    ::testing::internal::CaptureStderr();
    ticks(1, true);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(worker.ring(), nullptr);
    EXPECT_NE(said.find("truncated while in use"), std::string::npos) << said;
    worker.shutDown();
}
#endif

}  // namespace
}  // namespace velvix
