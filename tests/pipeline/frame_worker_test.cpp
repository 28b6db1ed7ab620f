#include "velvix/pipeline/frame_worker.hpp"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "fake_steps.hpp"
#include "section_access.hpp"
#include "test_support.hpp"

namespace velvix {
namespace {

using platform::SharedSection;
using testing::linesStartingWith;

void paintPattern(int x, int y, std::uint8_t* pixel) {
    pixel[0] = static_cast<std::uint8_t>(x);
    pixel[1] = static_cast<std::uint8_t>(y);
    pixel[2] = static_cast<std::uint8_t>(x + y);
    pixel[3] = 255;
}

RingHeader& headerOf(SharedSection& section) {
    return *reinterpret_cast<RingHeader*>(section.data());
}

class FrameWorkerTest : public ::testing::Test {
  protected:
    void ticks(int count) {
        for (int i = 0; i < count; ++i) {
            worker.tick(stop.get_token());
        }
    }

    std::vector<std::string> logSinceMark() const {
        return {camera.log.begin() + static_cast<std::ptrdiff_t>(mark), camera.log.end()};
    }
    void markLog() { mark = camera.log.size(); }

    SharedSection ringSection() {
        return SharedSection::open(name.get(), SharedSection::Access::readWrite);
    }

    testing::ScopedRingName name;
    ControlBlock control;
    testing::ScriptedCamera camera;
    testing::FakeClock clock;
    testing::MarkingSmoother smoother;
    testing::ScriptedFaceStep faceStep;
    std::stop_source stop;
    FrameWorker worker{{control, camera, {&faceStep, &smoother}, clock, name.get()}};
    std::size_t mark = 0;
};

// Nothing is opened before the first camera message; the first places its requests and opens
// the camera. Naming the active camera again changes nothing, another one is opened once the
// active one is closed, "off" only closes, and an index beyond the device table never opens.
TEST_F(FrameWorkerTest, OpensTheChosenCameraAndClosesTheOldOneFirst) {
    worker.startUp();
    ASSERT_NE(worker.ring(), nullptr);
    EXPECT_TRUE(worker.ring()->initialisedHere());
    const std::uint64_t start = worker.pacer().deadline();
    ticks(90);
    EXPECT_EQ(camera.log, (std::vector<std::string>{"count"}));
    EXPECT_EQ(control.applied.activeCamera, kNoCameraChosen);
    EXPECT_EQ(worker.pacer().deadline(), start + 90 * kFramePeriod);

    const auto choose = [&](int device, int tickCount) {
        markLog();
        control.requestCamera(device);
        ticks(tickCount);
        return logSinceMark();
    };
    EXPECT_EQ(choose(0, 1),
              (std::vector<std::string>{"period 0 333333", "size 0 1280x720 rgb24", "connector 0 0",
                                        "open 0", "reconnect 0 90"}));
    EXPECT_TRUE(worker.cameraReady());
    EXPECT_TRUE(choose(0, 3).empty());
    EXPECT_TRUE(worker.cameraReady());
    const auto log = choose(1, 1);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "close 0");
    EXPECT_EQ(camera.opensOf(1), 1);
    EXPECT_EQ(choose(kCameraOff, 1), (std::vector<std::string>{"close 1"}));
    EXPECT_EQ(control.applied.activeCamera, kCameraOff);
    EXPECT_FALSE(worker.cameraReady());
    choose(kMaxCaptureDevices, 130);
    EXPECT_EQ(camera.opensOf(kMaxCaptureDevices), 0);
    EXPECT_FALSE(worker.cameraReady());
}

// A camera that fails to open, or stops capturing, is tried again every kRetryTicks, asking
// for the size again but not for the frame period, until it opens. Meanwhile, after a second
// without a new frame, the ring says that it holds none, and the frames coming back say that
// they do.
TEST_F(FrameWorkerTest, ACameraThatStopsCapturingIsTriedAgainAndTheRingSaysSoMeanwhile) {
    const auto ringState = [&] { return FrameRingReader::open(name.get()).header().state; };
    worker.startUp();
    EXPECT_EQ(worker.cameraState(), CameraState::none);
    control.requestCamera(0);
    ticks(1);
    EXPECT_EQ(worker.cameraState(), CameraState::starting);
    camera.queueFrame(paintPattern);
    ticks(1);
    ASSERT_TRUE(worker.cameraReady());
    EXPECT_EQ(worker.cameraState(), CameraState::working);
    camera.loseDevice(0);
    camera.failingOpens[0] = 1;  // still unplugged at the first retry
    ticks(kNoFrameTicks - 1);
    EXPECT_FALSE(worker.cameraReady());
    EXPECT_EQ(ringState(), RingState::hasFrame);
    EXPECT_EQ(worker.cameraState(), CameraState::working);
    ticks(1);
    EXPECT_EQ(ringState(), RingState::initialised);
    EXPECT_EQ(worker.cameraState(), CameraState::lost);
    ticks(kRetryTicks - kNoFrameTicks);
    EXPECT_EQ(camera.opensOf(0), 1);
    markLog();
    ticks(1);
    EXPECT_EQ(camera.opensOf(0), 2);
    const auto retry = logSinceMark();
    ASSERT_GE(retry.size(), 3u);
    EXPECT_EQ((std::vector<std::string>{retry.end() - 3, retry.end()}),
              (std::vector<std::string>{"size 0 1280x720 rgb24", "connector 0 0", "open 0"}));
    EXPECT_TRUE(linesStartingWith(retry, "period").empty());
    ticks(kRetryTicks - 1);
    EXPECT_EQ(camera.opensOf(0), 2);
    ticks(1);
    EXPECT_EQ(camera.opensOf(0), 3);
    EXPECT_TRUE(worker.cameraReady());
    EXPECT_EQ(worker.retryTicks(), 0);
    camera.queueFrame(paintPattern);
    ticks(1);
    EXPECT_EQ(ringState(), RingState::hasFrame);
    EXPECT_EQ(worker.cameraState(), CameraState::working);

    control.requestCamera(kCameraOff);
    ticks(kNoFrameTicks);
    EXPECT_EQ(ringState(), RingState::initialised);
    EXPECT_EQ(worker.cameraState(), CameraState::none);
}

// A tick without a new frame publishes nothing; each fetched frame is smoothed at the level
// taken over and published in the frame layout.
TEST_F(FrameWorkerTest, PublishesEachFetchedFrameInTheFrameLayout) {
    worker.startUp();
    control.requestCamera(0);
    ticks(5);
    auto reader = FrameRingReader::open(name.get());
    EXPECT_EQ(reader.header().writeCount, 0u);
    camera.queueFrame(paintPattern);
    ticks(2);
    EXPECT_EQ(reader.header().writeCount, 1u);
    RingFrame frame;
    ASSERT_EQ(reader.readNewest(frame), FrameRingReader::ReadOutcome::frame);
    for (const auto& [x, y] : {std::pair{0, 0}, {5, 3}, {1279, 719}, {640, 1}}) {
        const std::uint8_t* pixel =
            frame.pixels.data() + (static_cast<std::size_t>(y) * 1280 + x) * 3;
        std::uint8_t expected[4];
        paintPattern(x, y, expected);
        EXPECT_EQ((std::array{pixel[0], pixel[1], pixel[2]}),
                  (std::array{expected[2], expected[1], expected[0]}));
    }
    EXPECT_EQ(smoother.calls, 0);
    control.requestSmoothOn(70);
    camera.queueFrame(paintPattern);
    ticks(1);
    EXPECT_EQ(smoother.calls, 1);
    EXPECT_EQ(smoother.lastLevel, 70);
    EXPECT_EQ(faceStep.calls, 1);
}

// Attaching to a smaller ring leads to the handshake on the first frame; a ring of the worker's
// own shows that it is resizing while it is re-created.
TEST_F(FrameWorkerTest, ARingOfAnotherSizeIsRecreatedAtItOnTheFirstFrame) {
    const auto layout = *RingLayout::forSize({640, 480});
    auto foreign = SharedSection::openOrCreate(name.get(), layout.totalBytes);
    headerOf(foreign) = RingHeader{};
    headerOf(foreign).width = 640;
    headerOf(foreign).height = 480;
    headerOf(foreign).state = RingState::hasFrame;
    headerOf(foreign).writeCount = headerOf(foreign).readyCount = 77;

    worker.startUp();
    ASSERT_NE(worker.ring(), nullptr);
    EXPECT_FALSE(worker.ring()->initialisedHere());
    EXPECT_EQ(worker.frameSize(), kDefaultFrameSize);

    std::vector<RingState> statesDuringSleeps;
    clock.onSleep = [&](std::uint32_t ms) {
        if (ms == kResizeRetryMilliseconds) {
            statesDuringSleeps.push_back(headerOf(foreign).state);
        }
    };
    control.requestCamera(0);
    camera.queueFrame(paintPattern);
    const std::uint64_t deadline = worker.pacer().deadline();
    ticks(1);

    // Nothing published, the state left alone, one 30 ms pause and no pacing.
    EXPECT_EQ(clock.sleeps, (std::vector<std::uint32_t>{30}));
    EXPECT_EQ(statesDuringSleeps, (std::vector<RingState>{RingState::hasFrame}));
    EXPECT_EQ(worker.pacer().deadline(), deadline);
    EXPECT_EQ(worker.frameSize(), (FrameSize{640, 480}));
    EXPECT_EQ(headerOf(foreign).writeCount, 0u);
    EXPECT_EQ(headerOf(foreign).readyCount, 0u);
    EXPECT_EQ(headerOf(foreign).state, RingState::initialised);
    EXPECT_EQ(headerOf(foreign).width, 640);

    camera.queueFrame(paintPattern);
    ticks(1);
    EXPECT_EQ(headerOf(foreign).readyCount, 1u);
    EXPECT_EQ(headerOf(foreign).state, RingState::hasFrame);

    // The ring is the worker's own now: readers see it resizing while it is re-created.
    ASSERT_TRUE(requestRingSize(name.get(), {320, 240}));
    statesDuringSleeps.clear();
    camera.queueFrame(paintPattern);
    ticks(1);
    EXPECT_EQ(statesDuringSleeps, (std::vector<RingState>{RingState::resizing}));
    EXPECT_EQ(headerOf(foreign).state, RingState::initialised);
    EXPECT_EQ(headerOf(foreign).writeCount, 0u);
    EXPECT_EQ(worker.frameSize(), (FrameSize{320, 240}));
    EXPECT_EQ(worker.ring()->size(), (FrameSize{320, 240}));
}

// Sizes written into the header by a reader that did not ask: one the section cannot hold
// (8.3 MB, 18.7 MB needed) and absurd ones, which are refused when asked for too. The ring stays
// at its size and publishes the next frame.
TEST_F(FrameWorkerTest, ASizeTheRingCannotTakeIsRefused) {
    worker.startUp();
    auto section = ringSection();
    control.requestCamera(0);
    for (const auto& [width, height] :
         {std::pair{1920, 1080}, {0, 480}, {-640, 480}, {100000, 480}, {100000, 100000}}) {
        if (width != 1920) {
            EXPECT_FALSE(requestRingSize(name.get(), {width, height}));
        }
        headerOf(section).width = width;
        headerOf(section).height = height;
        camera.queueFrame(paintPattern);
        ::testing::internal::CaptureStderr();
        ticks(1);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(said.find("needed for 1920 x 1080") != std::string::npos, width == 1920) << said;
        EXPECT_EQ(worker.frameSize(), kDefaultFrameSize);
        EXPECT_EQ((FrameSize{headerOf(section).width, headerOf(section).height}),
                  kDefaultFrameSize);
        EXPECT_EQ(headerOf(section).state, RingState::initialised);
    }
    camera.queueFrame(paintPattern);
    ticks(1);
    EXPECT_EQ(headerOf(section).readyCount, 1u);
    testing::ScopedRingName missing;
    EXPECT_FALSE(requestRingSize(missing.get(), {640, 480}));
}

// A ring that cannot be re-created is tried again until the worker is stopped; the next
// processed frame after that creates the ring at the size asked for once it can.
TEST_F(FrameWorkerTest, AStopRequestEndsTheResizeRetriesAndTheNextFrameCreatesARing) {
    worker.startUp();
    auto section = ringSection();
    control.requestCamera(0);
    headerOf(section).width = 640;
    headerOf(section).height = 480;
    section.close();
    // Replace the section with one the program must not use, so that every attempt to
    // re-create the ring fails until the stop.
    std::optional<testing::UnusableSection> unusable;
    int pauses = 0;
    clock.onSleep = [&](std::uint32_t ms) {
        if (ms != kResizeRetryMilliseconds) {
            return;
        }
        if (++pauses == 1) {
            SharedSection::remove(name.get());
            unusable.emplace(name.get());
        }
        if (pauses == 5) {
            stop.request_stop();
        }
    };
    camera.queueFrame(paintPattern);
    ticks(1);
    EXPECT_EQ(pauses, 5);
    ASSERT_EQ(worker.ring(), nullptr);

    unusable.reset();
    SharedSection::remove(name.get());
    clock.onSleep = nullptr;
    stop = std::stop_source();
    camera.queueFrame(paintPattern);
    ticks(1);
    ASSERT_NE(worker.ring(), nullptr);
    EXPECT_EQ(worker.ring()->size(), (FrameSize{640, 480}));
    EXPECT_EQ(worker.frameSize(), (FrameSize{640, 480}));
}

// A request the worker cannot serve at once, because another writer took the ring meanwhile or
// the section was opened to others, is kept: the next ring is made at the size asked for, and
// the header says so.
TEST_F(FrameWorkerTest, ARequestIsKeptWhileTheRingCannotBeRecreated) {
    struct Obstacle {
        const char* what;
        FrameSize asked;
        std::function<void()> place;
        std::function<void()> remove;
    };
    SharedSection otherWriter;
    std::vector<Obstacle> obstacles = {
        {"another writer",
         {640, 480},
         [&] {
             otherWriter = ringSection();
             ASSERT_TRUE(otherWriter.tryLockForWriting());
         },
         [&] { otherWriter.close(); }},
    };
#ifndef _WIN32
    const std::string path = SharedSection::location(name.get());
    obstacles.push_back({"a section open to others",
                         {320, 240},
                         [&] { ASSERT_EQ(chmod(path.c_str(), 0666), 0); },
                         [&] { ASSERT_EQ(chmod(path.c_str(), 0600), 0); }});
#endif
    worker.startUp();
    // On Windows a section disappears with its last handle.
    const auto reader = FrameRingReader::open(name.get());
    control.requestCamera(0);
    camera.queueFrame(paintPattern);
    ticks(1);
    for (const Obstacle& obstacle : obstacles) {
        ASSERT_TRUE(requestRingSize(name.get(), obstacle.asked));
        clock.onSleep = [&](std::uint32_t ms) {
            if (ms == kResizeRetryMilliseconds) {
                obstacle.place();
            }
        };
        camera.queueFrame(paintPattern);
        ticks(1);
        clock.onSleep = nullptr;
        EXPECT_EQ(worker.ring(), nullptr) << obstacle.what;
        obstacle.remove();

        camera.queueFrame(paintPattern);
        ticks(1);
        ASSERT_NE(worker.ring(), nullptr) << obstacle.what;
        EXPECT_EQ(worker.ring()->size(), obstacle.asked) << obstacle.what;
        EXPECT_EQ(worker.frameSize(), obstacle.asked) << obstacle.what;
        const auto header = FrameRingReader::open(name.get()).header();
        EXPECT_EQ((FrameSize{header.width, header.height}), obstacle.asked) << obstacle.what;
    }
}

// Another user's section, or one open to others, may show or plant pictures: the worker says
// so once, runs on without a ring, and takes a ring again once the section is gone.
TEST_F(FrameWorkerTest, NeverWritesIntoASectionOthersMayOpen) {
    const std::size_t bytes = RingLayout::forSize(kDefaultFrameSize)->totalBytes;
    std::optional<testing::PlantedSection> planted(std::in_place, name.get(), bytes, 0xAB);
    ASSERT_TRUE(planted->made());
    ::testing::internal::CaptureStderr();
    worker.startUp();
    control.requestCamera(0);
    for (int i = 0; i < 3; ++i) {
        camera.queueFrame(paintPattern);
        ticks(1);
    }
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(worker.ring(), nullptr);
    EXPECT_EQ(testing::countLinesWith(said, "refusing shared memory"), 1) << said;
    EXPECT_EQ(said.find("created"), std::string::npos) << said;
    EXPECT_EQ(testing::sectionBytes(name.get(), bytes), std::vector<std::uint8_t>(bytes, 0xAB));

    planted.reset();
    camera.queueFrame(paintPattern);
    ticks(1);
    ASSERT_NE(worker.ring(), nullptr);
    camera.queueFrame(paintPattern);
    ticks(1);
    EXPECT_EQ(FrameRingReader::open(name.get()).readyCount(), 1u);
}

// Windows sections never grow or shrink.
#ifndef _WIN32
// The whole 1920 x 1080 path runs in grown buffers: fetch, face step, smoothing, mask, publish.
TEST_F(FrameWorkerTest, ARequestForALargerSizeGrowsTheSectionAndTheBuffers) {
    worker.startUp();
    control.requestCamera(0);
    control.requestSmoothOn(40);
    const FrameSize large{1920, 1080};
    ASSERT_TRUE(requestRingSize(name.get(), large));
    EXPECT_GE(FrameRingReader::open(name.get()).section().size(),
              RingLayout::forSize(large)->totalBytes);
    camera.queueFrame(paintPattern);
    ticks(1);
    EXPECT_EQ(worker.frameSize(), large);
    camera.queueFrame(paintPattern);
    ticks(1);
    EXPECT_EQ(smoother.lastSize, large);
    EXPECT_EQ(FrameRingReader::open(name.get()).readyCount(), 1u);
}

TEST_F(FrameWorkerTest, ASectionCutDownUnderTheWorkerEndsTheRingNotTheWorker) {
    worker.startUp();
    control.requestCamera(0);
    camera.queueFrame(paintPattern);
    ticks(1);
    ASSERT_TRUE(testing::truncateSection(name.get(), 0));
    ::testing::internal::CaptureStderr();
    camera.queueFrame(paintPattern);
    ticks(1);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(worker.ring(), nullptr);
    EXPECT_NE(said.find("truncated while in use"), std::string::npos) << said;
    worker.shutDown();
}
#endif

// The real clock, counting the ticks that have ended.
class CountingClock final : public PacerClock {
  public:
    std::uint64_t now() override { return clock_.now(); }
    void sleep(std::uint32_t milliseconds) override {
        clock_.sleep(milliseconds);
        sleeps.fetch_add(1, std::memory_order_release);
    }
    std::atomic<int> sleeps{0};

  private:
    SystemPacerClock clock_;
};

TEST(FrameWorkerThread, StopsWhenAskedReleasingTheCameraAndLeavingNoFrame) {
    testing::ScopedRingName name;
    ControlBlock control;
    testing::ScriptedCamera camera;
    CountingClock clock;
    FrameWorker worker({control, camera, {}, clock, name.get()});
    control.requestCamera(1);
    camera.queueFrame(paintPattern);
    std::jthread thread([&](std::stop_token stop) { worker.run(stop); });
    // However slowly the machine runs, a few ticks end before the stop.
    ASSERT_TRUE(
        testing::waitUntil([&] { return clock.sleeps.load(std::memory_order_acquire) >= 3; }));
    // Open before the worker lets go: on Windows a section disappears with its last handle.
    const auto reader = FrameRingReader::open(name.get());
    EXPECT_EQ(reader.readyCount(), 1u);
    thread.request_stop();
    thread.join();
    EXPECT_EQ(camera.opensOf(1), 1);
    EXPECT_EQ(linesStartingWith(camera.log, "close 1").size(), 1u);
    EXPECT_EQ(worker.ring(), nullptr);
    EXPECT_EQ(reader.header().state, RingState::initialised);
}

}  // namespace
}  // namespace velvix
