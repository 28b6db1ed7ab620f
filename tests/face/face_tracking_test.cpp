// The face step following the demo portrait through clips, with the shipped landmark model and
// the detector the program would choose: the network, or the cascade where its file is missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "portrait_clip.hpp"
#include "velvix/face/face_detector.hpp"
#include "velvix/face/face_step.hpp"
#include "velvix/pipeline/frame_processor.hpp"

namespace velvix {
namespace {

class FaceTrackingTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(clip.loaded()); }

    // One frame through the step, and the detection it started finished as by the next frame.
    FaceOutputs run(FaceProcessingStep& step, const testing::PortraitPose& pose) {
        return run(step, std::vector<testing::PortraitPose>{pose});
    }
    FaceOutputs run(FaceProcessingStep& step, const std::vector<testing::PortraitPose>& poses) {
        const auto frame = clip.frame(poses);
        std::copy(frame.begin(), frame.end(), buffers.output());
        FaceOutputs face;
        step.run(buffers.faceStepBuffers(kDefaultFrameSize), face);
        step.waitForDetection();
        return face;
    }

    // Whether the rectangle holds the face's centre (the rectangle is in the turned frame).
    static bool holdsFace(const FaceInFrame& face, const testing::PortraitPose& pose) {
        const float x = 1279 - pose.centreX;
        return x >= static_cast<float>(face.x) && x < static_cast<float>(face.x + face.width) &&
               pose.centreY >= static_cast<float>(face.y) &&
               pose.centreY < static_cast<float>(face.y + face.height);
    }
    static bool holdsFace(const FaceOutputs& face, const testing::PortraitPose& pose) {
        return face.faceValid && holdsFace(*face.widestFace(), pose);
    }

    testing::PortraitClip clip{VELVIX_DEMO_PHOTO};
    FrameBuffers buffers;
    FaceProcessingStep tracking{makeFaceDetector(VELVIX_FACE_NETWORK), VELVIX_SHIPPED_MODEL,
                                FaceSearch::tracking};
};

// The face moves across the frame and back, turns and changes size: after the first frame
// (whose detection serves the second) it is found on every frame, its landmarks near those
// of a fresh detection and fit, and detection runs only on the schedule.
TEST_F(FaceTrackingTest, AFaceMovingAcrossTheClipStaysFoundOnEveryFrame) {
    FaceProcessingStep fresh(makeFaceDetector(VELVIX_FACE_NETWORK), VELVIX_SHIPPED_MODEL);
    constexpr int kFrames = 60;
    double largestDistance = 0;
    int compared = 0;
    for (int k = 0; k < kFrames; ++k) {
        const auto pose = testing::PortraitClip::movingPose(k, kFrames);
        const FaceOutputs tracked = run(tracking, pose);
        if (k == 0) {
            continue;
        }
        ASSERT_TRUE(holdsFace(tracked, pose)) << "frame " << k;
        ASSERT_TRUE(tracked.faceLandmarks.has_value());
        if (k % 4 != 0) {
            continue;
        }
        // The cascade misses some of the smaller faces and now and then finds one in the
        // background; only fresh fits on the face are compared.
        const FaceOutputs own = run(fresh, pose);
        if (!holdsFace(own, pose) || !own.faceLandmarks) {
            continue;
        }
        ++compared;
        double distance = 0;
        for (std::size_t i = 0; i < kLandmarkCount; ++i) {
            const auto& a = (*tracked.faceLandmarks)[i];
            const auto& b = (*own.faceLandmarks)[i];
            distance += std::hypot(a.x + static_cast<float>(tracked.faceX - own.faceX) - b.x,
                                   a.y + static_cast<float>(tracked.faceY - own.faceY) - b.y);
        }
        largestDistance = std::max(largestDistance, distance / kLandmarkCount / pose.faceWidth);
    }
    // Fresh fits differ among themselves by about this much as the detector's boxes vary.
    EXPECT_LT(largestDistance, 0.08);
    EXPECT_GE(compared, 10);
    ASSERT_NE(tracking.tracker(), nullptr);
    EXPECT_TRUE(tracking.tracker()->tracking());
}

// Four faces, each moving (up to 13 pixels a frame, an eighth of the smallest face's width),
// turning and changing size in its quarter of the frame: from the second frame on, each is
// found on every frame by a face of its own, with landmarks, and the widest of them is the one
// reported. (Twice as fast, the smallest faces' fits now and then lose them for a frame, until
// the detection that follows at once finds them again.)
TEST_F(FaceTrackingTest, EveryFaceOfAGroupStaysFoundWhileTheyMove) {
    constexpr int kFaces = 4;
    constexpr int kFrames = 60;
    for (int k = 0; k < kFrames; ++k) {
        const auto poses = testing::PortraitClip::movingGroup(kFaces, k, kFrames);
        const FaceOutputs found = run(tracking, poses);
        if (k == 0) {
            continue;
        }
        ASSERT_TRUE(found.faceValid) << "frame " << k;
        ASSERT_EQ(found.otherFaceCount, kFaces - 1) << "frame " << k;
        std::vector<FaceInFrame> faces{*found.widestFace()};
        faces.insert(faces.end(), found.otherFaces.begin(),
                     found.otherFaces.begin() + found.otherFaceCount);
        for (const FaceInFrame& face : faces) {
            EXPECT_TRUE(face.landmarks.has_value()) << "frame " << k;
        }
        for (std::size_t p = 0; p < poses.size(); ++p) {
            const auto holding =
                std::count_if(faces.begin(), faces.end(),
                              [&](const FaceInFrame& f) { return holdsFace(f, poses[p]); });
            EXPECT_EQ(holding, 1) << "frame " << k << ", face " << p;
        }
        const auto widest =
            std::max_element(poses.begin(), poses.end(),
                             [](const testing::PortraitPose& a, const testing::PortraitPose& b) {
                                 return a.faceWidth < b.faceWidth;
                             });
        const bool clearlyWidest = std::all_of(poses.begin(), poses.end(), [&](const auto& pose) {
            return &pose == &*widest || pose.faceWidth < widest->faceWidth * 0.9f;
        });
        if (clearlyWidest) {
            EXPECT_TRUE(holdsFace(found, *widest)) << "frame " << k;
        }
    }
}

// The face slides out at the left edge of the picture (the right of the turned frame, where
// the rectangle rules still accept a face cut by the edge) and at the bottom: it is dropped no
// later than the frame on which its centre has left the picture.
TEST_F(FaceTrackingTest, AFaceLeavingThePictureIsDroppedWithinOneFrame) {
    for (const bool sideways : {true, false}) {
        FaceProcessingStep step(makeFaceDetector(VELVIX_FACE_NETWORK), VELVIX_SHIPPED_MODEL,
                                FaceSearch::tracking);
        testing::PortraitPose pose{640, 300, 220, 0};
        for (int k = 0; k < 4; ++k) {
            run(step, pose);
        }
        ASSERT_TRUE(holdsFace(run(step, pose), pose)) << sideways;
        bool dropped = false;
        for (int k = 0; k < 30 && !dropped; ++k) {
            (sideways ? pose.centreX : pose.centreY) += sideways ? -60.0f : 40.0f;
            const FaceOutputs face = run(step, pose);
            dropped = !face.faceValid;
            const bool centreOutside = pose.centreX < 0 || pose.centreY >= 720;
            EXPECT_TRUE(dropped || !centreOutside) << "frame " << k << ", " << sideways;
        }
        EXPECT_TRUE(dropped);
    }
}

}  // namespace
}  // namespace velvix
