#include "velvix/face/face_detector.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "cascade_detector.hpp"

namespace velvix {
namespace {

TEST(DetectionResult, RecordsRoundTripInBothLayouts) {
    for (const int stride : {kClassicRecordShorts, 16}) {
        std::vector<unsigned char> buffer(kDetectionBufferBytes, 0xAA);
        int* result = reinterpret_cast<int*>(buffer.data());
        result[0] = 2;
        writeDetectedFace(result, stride, 0, {1, 2, 3, 4}, 90);
        writeDetectedFace(result, stride, 1, {-5, 600, 70, 80}, 10);
        EXPECT_EQ(detectedFaceCount(result), 2);
        const DetectedFace second = detectedFace(result, stride, 1);
        EXPECT_EQ(second.x, -5);
        EXPECT_EQ(second.y, 600);
        EXPECT_EQ(second.width, 70);
        EXPECT_EQ(second.height, 80);
        // Record 1 starts right after record 0: four bytes of count, then the int16 values.
        const auto* shorts = reinterpret_cast<const std::int16_t*>(buffer.data() + 4);
        EXPECT_EQ(shorts[stride + 1], -5);
        EXPECT_EQ(shorts[0], 90);
    }
}

TEST(DetectionResult, CountsAreClampedAndNullMeansNoFace) {
    int result[1] = {1000};
    EXPECT_EQ(detectedFaceCount(result), kMaxDetections);
    result[0] = -3;
    EXPECT_EQ(detectedFaceCount(result), 0);
    EXPECT_EQ(detectedFaceCount(nullptr), 0);
}

TEST(FaceDetector, FindsNothingInAnEmptyPictureAndRefusesANullBuffer) {
    const auto detector = makeFaceDetector();
    ASSERT_NE(detector, nullptr);
    EXPECT_FALSE(detector->name().empty());
    std::vector<unsigned char> picture(320 * 180 * 3, 128);
    int* result = detector->detect(detectionResultBuffer(), {picture.data(), 320, 180, 960});
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(detectedFaceCount(result), 0);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(detector->detect(nullptr, {picture.data(), 320, 180, 960}), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "facedetect_cnn: null buffer memory.\n");
}

// A cascade file that is missing or damaged must show in the name the program prints at start,
// not as faces that are silently never found.
TEST(FaceDetector, ACascadeThatCannotBeReadSaysSoInItsName) {
    const CascadeFaceDetector missing("/nonexistent/velvix/haarcascade_frontalface_alt2.xml");
    EXPECT_FALSE(missing.ready());
    for (const char* part : {"/nonexistent/velvix/haarcascade_frontalface_alt2.xml",
                             "cannot be read", "no face will be found"}) {
        EXPECT_NE(missing.name().find(part), std::string::npos) << missing.name();
    }
}

}  // namespace
}  // namespace velvix
