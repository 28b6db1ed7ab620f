#include "velvix/face/face_detector.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
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
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "face detector: no result buffer; no face searched\n");
}

// A cascade file that is missing or damaged must show in the name the program prints at start,
// not as faces that are silently never found; one whose window OpenCV refuses with an exception
// (which used to end the program) is damaged like any other.
TEST(FaceDetector, ACascadeThatCannotBeReadSaysSoInItsName) {
    const std::string hostile = ::testing::TempDir() + "velvix-huge-window-cascade.xml";
    std::ofstream(hostile) << "<?xml version=\"1.0\"?>\n<opencv_storage><cascade>"
                              "<stageType>BOOST</stageType><featureType>HAAR</featureType>"
                              "<height>2000000000</height><width>2000000000</width>"
                              "</cascade></opencv_storage>\n";
    for (const std::string& path :
         {std::string("/nonexistent/velvix/haarcascade_frontalface_alt2.xml"), hostile}) {
        const CascadeFaceDetector damaged(path);
        EXPECT_FALSE(damaged.ready()) << path;
        for (const std::string& part :
             {path, std::string("cannot be read"), std::string("no face will be found")}) {
            EXPECT_NE(damaged.name().find(part), std::string::npos) << damaged.name();
        }
    }
    std::remove(hostile.c_str());
}

}  // namespace
}  // namespace velvix
