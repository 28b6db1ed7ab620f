#include "velvix/face/face_tracker.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace velvix {
namespace {

FaceRectangle rectangleAt(int x, int y) {
    return {x, y, 200, 240};
}

FaceBox boxOf(const FaceRectangle& r) {
    return FaceBox::fromRectangle(static_cast<float>(r.x), static_cast<float>(r.y),
                                  static_cast<float>(r.width), static_cast<float>(r.height));
}

// Answers each started detection with the next scripted rectangle on the following frame.
class ScriptedDetection final : public DetectionService {
  public:
    bool start(const std::uint8_t*, FrameSize, FrameSize) override {
        ++starts;
        pending = answers.empty() ? FaceRectangle{} : answers.front();
        if (!answers.empty()) {
            answers.pop_front();
        }
        return true;
    }
    std::optional<FaceRectangle> finished() override { return std::exchange(pending, {}); }
    std::string detectorName() const override { return "scripted"; }

    std::deque<FaceRectangle> answers;
    std::optional<FaceRectangle> pending;
    int starts = 0;
};

// A face that lies where the test says: a fit finds its corners there (landmarks 0 and 1), as
// long as it is there, and the box around the landmarks is the face's box.
class ScriptedFitter final : public FaceFitter {
  public:
    std::optional<FaceLandmarks> fit(const FaceBox& box, bool compare) override {
        fitBoxes.push_back(box);
        compared.push_back(compare);
        if (compare && !faceThere) {
            return std::nullopt;
        }
        FaceLandmarks landmarks{};
        landmarks[0] = {face.x, face.y};
        landmarks[1] = {face.x + face.width, face.y + face.height};
        return landmarks;
    }
    void remember(const FaceLandmarks&) override { ++remembered; }
    FaceBox boxAround(const FaceLandmarks& landmarks) const override {
        return FaceBox::fromRectangle(landmarks[0].x, landmarks[0].y,
                                      landmarks[1].x - landmarks[0].x,
                                      landmarks[1].y - landmarks[0].y);
    }

    FaceBox face = boxOf(rectangleAt(400, 200));
    bool faceThere = true;
    std::vector<FaceBox> fitBoxes;
    std::vector<bool> compared;
    int remembered = 0;
};

class TrackerTest : public ::testing::Test {
  protected:
    // One frame: the face, then a detection where the tracker wants one.
    TrackedFace frame() {
        const TrackedFace face = tracker.next();
        if (tracker.detectionWanted()) {
            tracker.startDetection(nullptr, {320, 180}, {1280, 720});
        }
        return face;
    }

    ScriptedDetection detection;
    ScriptedFitter fitter;
    FaceTracker tracker{detection, fitter};
};

TEST_F(TrackerTest, FindsTracksLosesAndFindsAgain) {
    detection.answers = {rectangleAt(400, 200)};
    // Frame 1 starts a detection; its result serves frame 2, whose fit starts in its box and
    // is not compared (the face is new) but remembered.
    EXPECT_FALSE(frame().found);
    EXPECT_EQ(detection.starts, 1);
    TrackedFace face = frame();
    ASSERT_TRUE(face.found);
    EXPECT_FLOAT_EQ(face.box.x, 400);
    EXPECT_FALSE(fitter.compared.back());
    EXPECT_EQ(fitter.remembered, 1);

    // The face moves 30 pixels a frame: each fit starts in the box around the previous
    // frame's landmarks and is compared. No detection until the 15th frame after the first.
    for (int k = 1; k <= 13; ++k) {
        const FaceBox before = fitter.face;
        fitter.face = boxOf(rectangleAt(400 + 30 * k, 200));
        face = frame();
        ASSERT_TRUE(face.found);
        EXPECT_FLOAT_EQ(face.box.x, before.x) << k;
        EXPECT_TRUE(fitter.compared.back());
    }
    EXPECT_EQ(detection.starts, 1);
    detection.answers = {rectangleAt(400 + 30 * 13, 200)};  // the same face
    frame();
    EXPECT_EQ(detection.starts, 2);
    // The detection that finds the followed face leaves the box to the landmarks and only
    // refreshes what later fits are compared with.
    face = frame();
    EXPECT_TRUE(face.found);
    EXPECT_TRUE(fitter.compared.back());
    EXPECT_EQ(fitter.remembered, 2);

    // The face goes: dropped on that very frame, and a detection starts at once.
    fitter.faceThere = false;
    EXPECT_FALSE(frame().found);
    EXPECT_EQ(detection.starts, 3);
    EXPECT_FALSE(tracker.tracking());
    // It found nothing; without a face the tracker looks again on the schedule.
    const int searchFrames = TrackingSchedule{}.searchFrames;
    for (int k = 0; k < searchFrames; ++k) {
        EXPECT_FALSE(frame().found);
    }
    EXPECT_EQ(detection.starts, 4);

    // The face comes back elsewhere: the search waits for its schedule, detects, and the frame
    // after fits in the detection's box.
    fitter.faceThere = true;
    detection.answers = {rectangleAt(100, 300)};
    fitter.face = boxOf(rectangleAt(100, 300));
    int frames = 0;
    do {
        face = frame();
        ++frames;
    } while (!face.found && frames < 10);
    ASSERT_TRUE(face.found);
    EXPECT_EQ(frames, searchFrames + 1);
    EXPECT_FLOAT_EQ(face.box.x, 100);
    EXPECT_FALSE(fitter.compared.back());
}

TEST_F(TrackerTest, AnotherFaceMovesTheTrackerAndTwoEmptyDetectionsEndIt) {
    detection.answers = {rectangleAt(400, 200), rectangleAt(800, 100), {}, {}};
    frame();
    ASSERT_TRUE(frame().found);
    while (detection.starts < 2) {
        ASSERT_TRUE(frame().found);
    }
    // The scheduled detection finds a face elsewhere: this frame's fit starts in its box.
    fitter.face = boxOf(rectangleAt(800, 100));
    TrackedFace face = frame();
    ASSERT_TRUE(face.found);
    EXPECT_FLOAT_EQ(face.box.x, 800);
    EXPECT_FALSE(fitter.compared.back());

    // One detection without a face is asked again at once; the second ends the tracking.
    while (detection.starts < 3) {
        ASSERT_TRUE(frame().found);
    }
    EXPECT_TRUE(frame().found);
    EXPECT_EQ(detection.starts, 4);
    EXPECT_FALSE(frame().found);
    EXPECT_FALSE(tracker.tracking());
}

TEST_F(TrackerTest, AStillFaceKeepsItsBoxThroughSmallChanges) {
    detection.answers = {rectangleAt(400, 200)};
    frame();
    frame();
    frame();  // the box around the first fit's landmarks
    const FaceBox settled = fitter.fitBoxes.back();
    // Noise of a pixel moves the landmarks a little: the box stays exactly where it was.
    for (int k = 0; k < 6; ++k) {
        fitter.face = boxOf(rectangleAt(400 + (k % 2), 200 - (k % 3)));
        frame();
        EXPECT_EQ(fitter.fitBoxes.back().x, settled.x);
        EXPECT_EQ(fitter.fitBoxes.back().width, settled.width);
    }
    // A real move takes it along.
    fitter.face = boxOf(rectangleAt(420, 200));
    frame();
    frame();
    EXPECT_FLOAT_EQ(fitter.fitBoxes.back().x, 420);
}

// Detects as told, but only once the test lets it.
// Two threads wait here for each other. (std::latch's wait never returned in the MinGW build
// under wine.)
class Meeting {
  public:
    void arriveAndWait() {
        std::unique_lock lock(mutex_);
        if (++arrived_ == 2) {
            met_.notify_all();
            return;
        }
        met_.wait(lock, [this] { return arrived_ == 2; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable met_;
    int arrived_ = 0;
};

class GatedDetector final : public FaceDetector {
  public:
    std::string name() const override { return "gated"; }
    int recordShorts() const override { return 16; }
    int* detect(unsigned char* buffer, ConstPicture image) override {
        gate.arriveAndWait();
        firstByte = image.pixels[0];
        int* result = reinterpret_cast<int*>(buffer);
        result[0] = 1;
        writeDetectedFace(result, recordShorts(), 0, {100, 50, 25, 30}, 90);
        return result;
    }
    Meeting gate;
    int firstByte = -1;
};

TEST(DetectionThread, DetectsACopyOnItsOwnThreadOneAtATime) {
    auto* detector = new GatedDetector;
    DetectionThread thread(std::unique_ptr<FaceDetector>(detector), 1);
    EXPECT_EQ(thread.detectorName(), "gated");
    std::vector<std::uint8_t> small(320 * 180 * 3, 7);
    ASSERT_TRUE(thread.start(small.data(), {320, 180}, {1280, 720}));
    small[0] = 99;  // the thread works on its own copy
    EXPECT_FALSE(thread.start(small.data(), {320, 180}, {1280, 720}));
    EXPECT_FALSE(thread.finished().has_value());
    detector->gate.arriveAndWait();
    thread.waitUntilIdle();
    const auto rectangle = thread.finished();
    ASSERT_TRUE(rectangle.has_value());
    // By the face step's rules: four times the box, 1280 x 720.
    EXPECT_EQ(rectangle->x, 400);
    EXPECT_EQ(rectangle->y, 200);
    EXPECT_EQ(rectangle->width, 100);
    EXPECT_EQ(rectangle->height, 120);
    EXPECT_EQ(detector->firstByte, 7);
    EXPECT_FALSE(thread.finished().has_value());
}

}  // namespace
}  // namespace velvix
