#include "velvix/face/face_tracker.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

// Answers each started detection with the next scripted rectangles on the following frame.
class ScriptedDetection final : public DetectionService {
  public:
    bool start(const std::uint8_t*, FrameSize, FrameSize) override {
        ++starts;
        pending = answers.empty() ? std::vector<FaceRectangle>{} : answers.front();
        if (!answers.empty()) {
            answers.pop_front();
        }
        return true;
    }
    std::optional<std::vector<FaceRectangle>> finished() override {
        return std::exchange(pending, std::nullopt);
    }
    std::string detectorName() const override { return "scripted"; }

    std::deque<std::vector<FaceRectangle>> answers;
    std::optional<std::vector<FaceRectangle>> pending;
    int starts = 0;
};

// Faces that lie where the test says: a fit finds the corners of the face nearest to its box
// there (landmarks 0 and 1), as long as the faces are there, and the box around the landmarks
// is the face's box.
class ScriptedFitter final : public FaceFitter {
  public:
    std::optional<FaceLandmarks> fit(int slot, const FaceBox& box, bool compare) override {
        fitBoxes.push_back(box);
        compared.push_back(compare);
        slots.push_back(slot);
        if (compare && !faceThere) {
            return std::nullopt;
        }
        const auto distance = [&box](const FaceBox& face) {
            return std::hypot(face.centreX - box.centreX, face.centreY - box.centreY);
        };
        const FaceBox face = *std::min_element(
            faces.begin(), faces.end(),
            [&](const FaceBox& a, const FaceBox& b) { return distance(a) < distance(b); });
        FaceLandmarks landmarks{};
        landmarks[0] = {face.x, face.y};
        landmarks[1] = {face.x + face.width, face.y + face.height};
        return landmarks;
    }
    void remember(int, const FaceLandmarks&) override { ++remembered; }
    FaceBox boxAround(const FaceLandmarks& landmarks) const override {
        return FaceBox::fromRectangle(landmarks[0].x, landmarks[0].y,
                                      landmarks[1].x - landmarks[0].x,
                                      landmarks[1].y - landmarks[0].y);
    }

    std::vector<FaceBox> faces{boxOf(rectangleAt(400, 200))};
    bool faceThere = true;
    std::vector<FaceBox> fitBoxes;
    std::vector<bool> compared;
    std::vector<int> slots;
    int remembered = 0;
};

class TrackerTest : public ::testing::Test {
  protected:
    // One frame: the faces, then a detection where the tracker wants one.
    TrackedFaces frameOfAll() {
        const TrackedFaces faces = tracker.next();
        if (tracker.detectionWanted()) {
            tracker.startDetection(nullptr, {320, 180}, {1280, 720});
        }
        return faces;
    }
    // One frame of a single face: the first slot with a face.
    TrackedFace frame() {
        const TrackedFaces faces = frameOfAll();
        const auto found =
            std::find_if(faces.begin(), faces.end(), [](const TrackedFace& f) { return f.found; });
        return found == faces.end() ? TrackedFace{} : *found;
    }

    ScriptedDetection detection;
    ScriptedFitter fitter;
    FaceTracker tracker{detection, fitter};
};

TEST_F(TrackerTest, FindsTracksLosesAndFindsAgain) {
    detection.answers = {{rectangleAt(400, 200)}};
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
        const FaceBox before = fitter.faces.front();
        fitter.faces = {boxOf(rectangleAt(400 + 30 * k, 200))};
        face = frame();
        ASSERT_TRUE(face.found);
        EXPECT_FLOAT_EQ(face.box.x, before.x) << k;
        EXPECT_TRUE(fitter.compared.back());
    }
    EXPECT_EQ(detection.starts, 1);
    detection.answers = {{rectangleAt(400 + 30 * 13, 200)}};  // the same face
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
    detection.answers = {{rectangleAt(100, 300)}};
    fitter.faces = {boxOf(rectangleAt(100, 300))};
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

// A second face found by a scheduled detection is followed in a slot of its own beside the
// first; a face two detections in a row miss is given up, each by itself.
TEST_F(TrackerTest, AnotherFaceIsFollowedBesideTheFirstAndEachIsGivenUpByItself) {
    const FaceRectangle first = rectangleAt(400, 200);
    const FaceRectangle second = rectangleAt(800, 100);
    detection.answers = {{first}, {second, first}, {second}, {second}, {}, {}};
    frame();
    ASSERT_TRUE(frame().found);
    while (detection.starts < 2) {
        ASSERT_TRUE(frame().found);
    }
    fitter.faces = {boxOf(first), boxOf(second)};
    TrackedFaces faces = frameOfAll();
    ASSERT_TRUE(faces[0].found);
    EXPECT_FLOAT_EQ(faces[0].box.x, 400);
    ASSERT_TRUE(faces[1].found);
    EXPECT_FLOAT_EQ(faces[1].box.x, 800);
    EXPECT_EQ(fitter.slots.back(), 1);
    EXPECT_FALSE(fitter.compared.back());  // the new face is not compared on its first fit
    for (int k = 0; k < 5; ++k) {
        faces = frameOfAll();
        ASSERT_TRUE(faces[0].found && faces[1].found) << k;
        EXPECT_FLOAT_EQ(faces[0].box.x, 400);
        EXPECT_FLOAT_EQ(faces[1].box.x, 800);
    }

    // The next detections find only the second face: the first is asked for again at once and
    // given up after the second miss, while the second goes on.
    while (detection.starts < 3) {
        faces = frameOfAll();
        ASSERT_TRUE(faces[0].found && faces[1].found);
    }
    faces = frameOfAll();
    EXPECT_TRUE(faces[0].found);
    EXPECT_EQ(detection.starts, 4);
    faces = frameOfAll();
    EXPECT_FALSE(faces[0].found);
    EXPECT_TRUE(faces[1].found);
    // Then none: the second goes the same way, and the tracking ends.
    EXPECT_TRUE(frameOfAll()[1].found);
    EXPECT_FALSE(frameOfAll()[1].found);
    EXPECT_FALSE(tracker.tracking());
}

TEST_F(TrackerTest, AStillFaceKeepsItsBoxThroughSmallChanges) {
    detection.answers = {{rectangleAt(400, 200)}};
    frame();
    frame();
    frame();  // the box around the first fit's landmarks
    const FaceBox settled = fitter.fitBoxes.back();
    // Noise of a pixel moves the landmarks a little: the box stays exactly where it was.
    for (int k = 0; k < 6; ++k) {
        fitter.faces = {boxOf(rectangleAt(400 + (k % 2), 200 - (k % 3)))};
        frame();
        EXPECT_EQ(fitter.fitBoxes.back().x, settled.x);
        EXPECT_EQ(fitter.fitBoxes.back().width, settled.width);
    }
    // A real move takes it along.
    fitter.faces = {boxOf(rectangleAt(420, 200))};
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
    std::vector<DetectedFace> detect(ConstPicture image) override {
        gate.arriveAndWait();
        firstByte = image.pixels[0];
        return {{100, 50, 25, 30, 0.9f, {}}, {200, 100, 20, 30, 0.8f, {}}};
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
    const auto rectangles = thread.finished();
    ASSERT_TRUE(rectangles.has_value());
    // By the face step's rules: four times each box, 1280 x 720, the widest first.
    ASSERT_EQ(rectangles->size(), 2u);
    const FaceRectangle& widest = rectangles->front();
    EXPECT_EQ(widest.x, 400);
    EXPECT_EQ(widest.y, 200);
    EXPECT_EQ(widest.width, 100);
    EXPECT_EQ(widest.height, 120);
    EXPECT_EQ(rectangles->back().x, 800);
    EXPECT_EQ(detector->firstByte, 7);
    EXPECT_FALSE(thread.finished().has_value());
}

}  // namespace
}  // namespace velvix
