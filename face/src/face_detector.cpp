#include "velvix/face/face_detector.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "blazeface.hpp"
#include "cascade_detector.hpp"
#include "detection_records.hpp"
#include "velvix/platform/data_files.hpp"
#include "velvix/platform/log.hpp"

#if VELVIX_HAVE_LIBFACEDETECTION
#include <facedetection/facedetectcnn.h>
#endif

namespace velvix {
namespace {

#if VELVIX_HAVE_LIBFACEDETECTION
// The library fills a buffer of this size that its caller provides.
constexpr std::size_t kResultBufferBytes = 0x20000;
#ifdef FACEDETECTION_RESULT_STRIDE_SHORTS
constexpr int kRecordShorts = FACEDETECTION_RESULT_STRIDE_SHORTS;
#else
constexpr int kRecordShorts = 142;  // the record length of releases that do not name it
#endif

class LibFaceDetection final : public FaceDetector {
  public:
    std::string name() const override { return "libfacedetection"; }

    std::vector<DetectedFace> detect(ConstPicture image) override {
        return facesOfRecords(
            facedetect_cnn(buffer_.data(), const_cast<unsigned char*>(image.pixels), image.width,
                           image.height, static_cast<int>(image.stride)),
            kRecordShorts);
    }

  private:
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(kResultBufferBytes);
};
#endif

std::unique_ptr<FaceDetector> cascadeInstead(const std::string& why) {
    auto cascade = makeCascadeDetector();
    platform::logLine(platform::LogCategory::face, platform::LogSeverity::warn,
                      "face detector: " + why + "; using the " + cascade->name());
    return cascade;
}

constexpr int kMostRecords = 256;
constexpr int kRecordKeypoints = 5;

DetectedFace faceOfRecord(const std::int16_t* record) {
    DetectedFace face{
        record[1], record[2], record[3], record[4], std::sqrt(static_cast<float>(record[0]) / 100),
        {}};
    for (int k = 0; k < kRecordKeypoints; ++k) {
        face.keypoints.push_back(
            {static_cast<float>(record[5 + 2 * k]), static_cast<float>(record[6 + 2 * k])});
    }
    return face;
}

}  // namespace

std::vector<DetectedFace> facesOfRecords(const int* result, int recordShorts) {
    std::vector<DetectedFace> faces;
    const int count = result == nullptr ? 0 : std::clamp(result[0], 0, kMostRecords);
    const auto* records = reinterpret_cast<const std::int16_t*>(result + 1);
    for (int i = 0; i < count; ++i) {
        faces.push_back(faceOfRecord(records + static_cast<std::ptrdiff_t>(recordShorts) * i));
    }
    return faces;
}

std::unique_ptr<FaceDetector> makeCascadeDetector() {
    const std::string cascade = platform::findDataFile(kCascadeFileName);
    if (cascade.empty()) {
        platform::logLine(platform::LogCategory::face, platform::LogSeverity::warn,
                          std::string("face cascade ") + kCascadeFileName + ": " +
                              platform::missingDataFileText(kCascadeFileName));
    }
    return std::make_unique<CascadeFaceDetector>(cascade);
}

std::unique_ptr<FaceDetector> makeFaceDetector(const std::string& networkPath) {
    auto network = loadBlazeFaceDetector(networkPath, kBlazeFaceFullRange);
    if (network) {
        return std::move(*network);
    }
    return cascadeInstead(networkPath + " cannot be used (" + network.error() + ")");
}

std::unique_ptr<FaceDetector> makeFaceDetector() {
#if VELVIX_HAVE_LIBFACEDETECTION
    return std::make_unique<LibFaceDetection>();
#else
    const std::string network = platform::findDataFile(kBlazeFaceFullRange.fileName);
    if (network.empty()) {
        return cascadeInstead(std::string(kBlazeFaceFullRange.fileName) + ": " +
                              platform::missingDataFileText(kBlazeFaceFullRange.fileName));
    }
    return makeFaceDetector(network);
#endif
}

}  // namespace velvix
