#include "velvix/face/face_tracker.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace velvix {
namespace {

FaceBox boxAt(int x, int y) {
    return FaceBox::fromRectangle(static_cast<float>(x), static_cast<float>(y), 200, 240);
}

// Answers each started detection with the next scripted rectangles on the following frame.
class ScriptedDetection final : public DetectionService {
  public:
    bool start(const std::uint8_t*, FrameSize, FrameSize) override {
        ++starts;
        answers.emplace_back();
        pending = answers.front();
        answers.pop_front();
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
// (landmarks 0 and 1) as long as the faces are there, and the box around them is the face's.
class ScriptedFitter final : public FaceFitter {
  public:
    std::optional<FaceLandmarks> fit(int slot, const FaceBox& box, bool compare) override {
        fitBox[static_cast<std::size_t>(slot)] = box;
        compared[static_cast<std::size_t>(slot)] = compare;
        if (compare && !faceThere) {
            return std::nullopt;
        }
        const FaceBox face = std::ranges::min(faces, {}, [&box](const FaceBox& face) {
            return std::hypot(face.centreX - box.centreX, face.centreY - box.centreY);
        });
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

    std::vector<FaceBox> faces{boxAt(400, 200)};
    bool faceThere = true;
    std::array<FaceBox, kMaxFaces> fitBox{};
    std::array<bool, kMaxFaces> compared{};
    int remembered = 0;
};

class TrackerTest : public ::testing::Test {
  protected:
    // One frame: the faces, then a detection where the tracker wants one.
    TrackedFaces frame() {
        const TrackedFaces faces = tracker.next();
        if (tracker.detectionWanted()) {
            tracker.startDetection(nullptr, {320, 180}, {1280, 720});
        }
        return faces;
    }

    ScriptedDetection detection;
    ScriptedFitter fitter;
    FaceTracker tracker{detection, fitter};
};

// A still face keeps its box through small changes, a moving one takes it along.
TEST_F(TrackerTest, FindsFollowsGivesUpAndSearchesFacesOnItsSchedule) {
    const FaceRectangle second{100, 100, 200, 240};
    detection.answers = {{FaceRectangle{400, 200, 200, 240}}};
    // Frame 1 starts a detection; its result serves frame 2, whose fit starts in its box and
    // is not compared (the face is new) but remembered.
    EXPECT_FALSE(frame()[0].found);
    TrackedFaces faces = frame();
    ASSERT_TRUE(faces[0].found);
    EXPECT_FLOAT_EQ(faces[0].box.x, 400);
    EXPECT_FALSE(fitter.compared[0]);
    EXPECT_EQ(fitter.remembered, 1);

    // Noise of a pixel moves the landmarks a little: the box stays exactly where it was.
    for (const auto& [dx, dy] : {std::pair{1, 0}, {0, -1}, {1, -2}, {0, 0}}) {
        fitter.faces = {boxAt(400 + dx, 200 + dy)};
        ASSERT_TRUE(frame()[0].found);
        EXPECT_FLOAT_EQ(fitter.fitBox[0].x, 400);
        EXPECT_FLOAT_EQ(fitter.fitBox[0].width, 200);
    }
    // The face moves 30 pixels a frame: each fit starts in the box around the previous frame's
    // landmarks and is compared. No detection until the 15th frame after the first.
    for (int k = 1; k <= 9; ++k) {
        const FaceBox before = fitter.faces.front();
        fitter.faces = {boxAt(400 + 30 * k, 200)};
        ASSERT_TRUE(frame()[0].found);
        EXPECT_FLOAT_EQ(fitter.fitBox[0].x, before.x) << k;
        EXPECT_TRUE(fitter.compared[0]);
    }
    EXPECT_EQ(detection.starts, 1);
    fitter.faces = {boxAt(670, 200), boxAt(100, 100)};
    detection.answers = {{FaceRectangle{670, 200, 200, 240}, second}, {second}, {second}, {}};
    frame();
    EXPECT_EQ(detection.starts, 2);
    // The detection that finds the followed face leaves its box to the landmarks and only
    // refreshes what later fits are compared with; the other face takes a slot of its own.
    faces = frame();
    ASSERT_TRUE(faces[0].found && faces[1].found);
    EXPECT_TRUE(fitter.compared[0]);
    EXPECT_FALSE(fitter.compared[1]);
    EXPECT_FLOAT_EQ(faces[1].box.x, 100);
    EXPECT_EQ(fitter.remembered, 3);

    // The next detections find only the second face: the first is asked for again at once and
    // given up after the second miss, which looks again at once, while the second goes on.
    while (detection.starts < 3) {
        faces = frame();
        ASSERT_TRUE(faces[0].found && faces[1].found);
        EXPECT_FLOAT_EQ(faces[0].box.x, 670);
        EXPECT_FLOAT_EQ(faces[1].box.x, 100);
    }
    EXPECT_TRUE(frame()[0].found);
    EXPECT_EQ(detection.starts, 4);
    faces = frame();
    EXPECT_FALSE(faces[0].found);
    EXPECT_TRUE(faces[1].found);
    EXPECT_EQ(detection.starts, 5);

    // The face goes: dropped on that very frame, and a detection starts at once. It finds
    // nothing; without a face the tracker looks again on the schedule.
    fitter.faceThere = false;
    EXPECT_FALSE(frame()[1].found);
    EXPECT_EQ(detection.starts, 6);
    EXPECT_FALSE(tracker.tracking());
    for (int k = 0; k < TrackingSchedule{}.searchFrames; ++k) {
        EXPECT_FALSE(frame()[0].found);
    }
    EXPECT_EQ(detection.starts, 7);
}

// Detects as told, once the test opens the gate. (A condition variable: std::latch's wait never
// returned in the MinGW build under wine.)
class GatedDetector final : public FaceDetector {
  public:
    std::string name() const override { return "gated"; }
    std::vector<DetectedFace> detect(ConstPicture image) override {
        std::unique_lock lock(mutex);
        opened.wait(lock, [this] { return open; });
        firstByte = image.pixels[0];
        return {{100, 50, 25, 30, 0.9f, {}}, {200, 100, 20, 30, 0.8f, {}}};
    }
    void openGate() {
        const std::lock_guard lock(mutex);
        open = true;
        opened.notify_all();
    }

    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    int firstByte = -1;
};

TEST(DetectionThread, DetectsACopyOnItsOwnThreadOneAtATime) {
    auto* detector = new GatedDetector;
    DetectionThread thread(std::unique_ptr<FaceDetector>(detector), 1);
    std::vector<std::uint8_t> small(320 * 180 * 3, 7);
    ASSERT_TRUE(thread.start(small.data(), {320, 180}, {1280, 720}));
    small[0] = 99;  // the thread works on its own copy
    EXPECT_FALSE(thread.start(small.data(), {320, 180}, {1280, 720}));
    EXPECT_FALSE(thread.finished().has_value());
    detector->openGate();
    thread.waitUntilIdle();
    const auto rectangles = thread.finished();
    ASSERT_TRUE(rectangles.has_value());
    // By the face step's rules: four times each box in 1280 x 720, the widest first.
    ASSERT_EQ(rectangles->size(), 2u);
    EXPECT_EQ(rectangles->front().x, 400);
    EXPECT_EQ(detector->firstByte, 7);
    EXPECT_FALSE(thread.finished().has_value());
}

}  // namespace
}  // namespace velvix
