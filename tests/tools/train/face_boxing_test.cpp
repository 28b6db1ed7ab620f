#include "face_boxing.hpp"

#include <gtest/gtest.h>

#include <array>

#include "velvix/platform/cpu_info.hpp"

namespace velvix::train {
namespace {

// Reports one face at a fixed place of the picture it is given, and remembers that picture.
class OneFaceDetector final : public FaceDetector {
  public:
    // The box in the pixels of the picture given: left, top, width, height.
    explicit OneFaceDetector(std::array<int, 4> box)
        : face_{box[0], box[1], box[2], box[3], 0.9f, {}} {}
    std::string name() const override { return "one face"; }
    std::vector<DetectedFace> detect(ConstPicture image) override {
        firstPixel = image.pixels[0];
        seenWidth = image.width;
        seenHeight = image.height;
        return {face_};
    }
    int firstPixel = -1;
    int seenWidth = 0;
    int seenHeight = 0;

  private:
    DetectedFace face_;
};

// A 400 x 400 picture, dark except for its rightmost columns, so that the mirrored copy starts
// with light pixels.
ColourPicture pictureLitAtTheRight() {
    ColourPicture picture{400, 400, std::vector<std::uint8_t>(400 * 400 * 3, 10)};
    for (int y = 0; y < 400; ++y) {
        for (int x = 392; x < 400; ++x) {
            for (int c = 0; c < 3; ++c) {
                picture.pixels[static_cast<std::size_t>((y * 400 + x) * 3 + c)] = 250;
            }
        }
    }
    return picture;
}

std::vector<Point> pointsAround(float left, float top, float right, float bottom) {
    return {{left, top}, {right, top}, {left, bottom}, {right, bottom}};
}

TEST(DetectedFaceBox, DetectsOnTheMirroredQuarterAndMirrorsTheBoxBack) {
    const Avx2Choice plainRectangles(false);
    // 30 x 40 at (10, 12) in the 100 x 100 copy: 120 x 160 at (40, 48) in the mirrored
    // picture, which is columns 240 ... 359 of the picture itself.
    OneFaceDetector detector({10, 12, 30, 40});
    const auto box = detectedFaceBox(detector, pictureLitAtTheRight(),
                                     pointsAround(250.0f, 60.0f, 350.0f, 200.0f));
    ASSERT_TRUE(box);
    EXPECT_EQ(detector.seenWidth, 100);
    EXPECT_EQ(detector.seenHeight, 100);
    EXPECT_GT(detector.firstPixel, 128);
    EXPECT_FLOAT_EQ(box->x, 240.0f);
    EXPECT_FLOAT_EQ(box->y, 48.0f);
    EXPECT_FLOAT_EQ(box->width, 120.0f);
    EXPECT_FLOAT_EQ(box->height, 160.0f);
}

// A face found elsewhere than the annotated one, or one the face step would reject (touching
// the top, too small), gives no box.
TEST(DetectedFaceBox, MissesAnotherFaceAndWhatTheFaceStepWouldReject) {
    OneFaceDetector elsewhere({10, 12, 30, 40});
    EXPECT_FALSE(detectedFaceBox(elsewhere, pictureLitAtTheRight(),
                                 pointsAround(20.0f, 60.0f, 120.0f, 200.0f)));
    OneFaceDetector touchingTheTop({10, 0, 30, 40});
    EXPECT_FALSE(detectedFaceBox(touchingTheTop, pictureLitAtTheRight(),
                                 pointsAround(250.0f, 20.0f, 350.0f, 150.0f)));
    OneFaceDetector tooSmall({30, 30, 10, 12});
    EXPECT_FALSE(detectedFaceBox(tooSmall, pictureLitAtTheRight(),
                                 pointsAround(250.0f, 100.0f, 300.0f, 170.0f)));
}

TEST(BoxRelation, GivesMissedFacesBoxesLikeTheDetectors) {
    const std::vector<FaceBox> points{FaceBox::fromRectangle(0, 0, 100, 120),
                                      FaceBox::fromRectangle(50, 40, 200, 240)};
    // Detector boxes 10 % wider, 20 % lower down and as high as the points' boxes.
    std::vector<FaceBox> detected;
    for (const FaceBox& p : points) {
        detected.push_back(FaceBox::fromRectangle(p.x - 0.05f * p.width, p.y + 0.2f * p.height,
                                                  1.1f * p.width, p.height));
    }
    const BoxRelation relation = BoxRelation::measured(detected, points);
    const FaceBox estimated = relation.applied(FaceBox::fromRectangle(10, 20, 300, 200));
    EXPECT_NEAR(estimated.x, -5.0f, 1e-3f);
    EXPECT_NEAR(estimated.y, 60.0f, 1e-3f);
    EXPECT_NEAR(estimated.width, 330.0f, 1e-3f);
    EXPECT_NEAR(estimated.height, 200.0f, 1e-3f);
    const FaceBox unchanged = BoxRelation::measured({}, {}).applied(points[1]);
    EXPECT_FLOAT_EQ(unchanged.x, 50.0f);
    EXPECT_FLOAT_EQ(unchanged.width, 200.0f);
}

TEST(NormalisedMeanError, DividesByTheOuterEyeCornerDistance) {
    std::vector<Point> truth(98);
    truth[60] = {100, 100};
    truth[72] = {200, 100};
    std::vector<Point> fitted = truth;
    fitted[0] = {3, 4};  // 5 pixels off
    EXPECT_NEAR(normalisedMeanError(fitted, truth, {0}), 0.05f, 1e-6f);
    EXPECT_NEAR(normalisedMeanError(fitted, truth, {0, 1}), 0.025f, 1e-6f);
    EXPECT_NEAR(normalisedMeanError(fitted, truth), 0.05f / 98.0f, 1e-7f);
}

}  // namespace
}  // namespace velvix::train
