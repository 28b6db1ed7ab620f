#include "velvix/face/face_detector.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cascade_detector.hpp"
#include "detection_records.hpp"
#include "process.hpp"

namespace velvix {
namespace {

// libfacedetection's records, written by hand in its layout with two record lengths. (Nothing
// reads the five key points.)
TEST(DetectionRecords, BecomeFacesWithScoreAndBox) {
    for (const int stride : {142, 16}) {
        std::vector<std::int32_t> buffer(1 + stride, 0x5A5A5A5A);  // the count, two records
        buffer[0] = 2;
        auto* shorts = reinterpret_cast<std::int16_t*>(buffer.data() + 1);
        for (int field = 0; field < 15; ++field) {
            shorts[field] = static_cast<std::int16_t>(field);
            shorts[stride + field] = static_cast<std::int16_t>(field == 1 ? -5 : 10 * field);
        }
        shorts[0] = 81;
        const std::vector<DetectedFace> faces = facesOfRecords(buffer.data(), stride);
        ASSERT_EQ(faces.size(), 2u) << stride;
        EXPECT_FLOAT_EQ(faces[0].score, 0.9f);
        EXPECT_EQ((std::array{faces[1].x, faces[1].y, faces[1].width, faces[1].height}),
                  (std::array{-5, 20, 30, 40}));
    }
    std::vector<std::int32_t> many(1 + 256 * 8, 0);
    many[0] = 1000;  // more than the library writes: read as its most, 256
    EXPECT_EQ(facesOfRecords(many.data(), 16).size(), 256u);
    many[0] = -3;
    EXPECT_TRUE(facesOfRecords(many.data(), 16).empty());
    EXPECT_TRUE(facesOfRecords(nullptr, 16).empty());
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

// A file that is not the published network, even one with a few bytes changed, is refused by
// its digest before OpenCV reads it, and leaves the program with the cascade and one line.
TEST(FaceDetector, ADamagedNetworkFileFallsBackToTheCascadeWithOneLine) {
    std::map<std::string, std::string> files{{"garbage.onnx", std::string(4096, '\x5a')}};
    if (std::string bytes = testing::readFile(VELVIX_FACE_NETWORK); !bytes.empty()) {
        // Three bytes changed: OpenCV's importer crashed on such a file.
        for (const std::size_t at : {bytes.size() / 4, bytes.size() / 2, bytes.size() - 9}) {
            bytes[at] = static_cast<char>(~bytes[at]);
        }
        files["altered.onnx"] = bytes;
    }
    for (const auto& [name, bytes] : files) {
        const std::string path =
            ::testing::TempDir() + "/velvix-" + std::to_string(getpid()) + "-" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        ::testing::internal::CaptureStderr();
        const auto detector = makeFaceDetector(path);
        const std::string said = ::testing::internal::GetCapturedStderr();
        std::filesystem::remove(path);
        EXPECT_EQ(detector->name(), "OpenCV cascade haarcascade_frontalface_alt2.xml") << name;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find("(its SHA-256 differs)); using the OpenCV cascade"), std::string::npos)
            << said;
    }
}

}  // namespace
}  // namespace velvix
