#include "velvix/face/face_detector.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velvix {
namespace {

// Made during static initialisation, like the detector library expects of its callers.
unsigned char* const resultBuffer =
    static_cast<unsigned char*>(std::calloc(1, kDetectionBufferBytes));

// Records start right after the count.
const std::int16_t* recordOf(const int* result, int recordShorts, int index) {
    return reinterpret_cast<const std::int16_t*>(result + 1) +
           static_cast<std::ptrdiff_t>(recordShorts) * index;
}

std::int16_t* recordOf(int* result, int recordShorts, int index) {
    return const_cast<std::int16_t*>(
        recordOf(static_cast<const int*>(result), recordShorts, index));
}

}  // namespace

unsigned char* detectionResultBuffer() {
    return resultBuffer;
}

int detectedFaceCount(const int* result) {
    return result == nullptr ? 0 : std::clamp(result[0], 0, kMaxDetections);
}

DetectedFace detectedFace(const int* result, int recordShorts, int index) {
    const std::int16_t* record = recordOf(result, recordShorts, index);
    return {record[1], record[2], record[3], record[4]};
}

void writeDetectedFace(int* result, int recordShorts, int index, const DetectedFace& face,
                       int confidence) {
    std::int16_t* record = recordOf(result, recordShorts, index);
    std::memset(record, 0, 15 * sizeof(std::int16_t));
    record[0] = static_cast<std::int16_t>(confidence);
    record[1] = static_cast<std::int16_t>(face.x);
    record[2] = static_cast<std::int16_t>(face.y);
    record[3] = static_cast<std::int16_t>(face.width);
    record[4] = static_cast<std::int16_t>(face.height);
}

}  // namespace velvix

#include "blazeface.hpp"
#include "cascade_detector.hpp"
#include "velvix/platform/data_files.hpp"
#include "velvix/platform/log.hpp"

#if VELVIX_HAVE_LIBFACEDETECTION
#include <facedetection/facedetectcnn.h>
#endif

namespace velvix {
namespace {

#if VELVIX_HAVE_LIBFACEDETECTION
class LibFaceDetection final : public FaceDetector {
  public:
    std::string name() const override { return "libfacedetection"; }
    int recordShorts() const override {
#ifdef FACEDETECTION_RESULT_STRIDE_SHORTS
        return FACEDETECTION_RESULT_STRIDE_SHORTS;
#else
        return kClassicRecordShorts;
#endif
    }
    // The library would say so in its own name; the program says it in its words.
    int* detect(unsigned char* resultBuffer, ConstPicture image) override {
        if (resultBuffer == nullptr) {
            platform::logLine(platform::LogCategory::face, platform::LogSeverity::error,
                              kNoResultBufferLine);
            return nullptr;
        }
        return facedetect_cnn(resultBuffer, const_cast<unsigned char*>(image.pixels), image.width,
                              image.height, static_cast<int>(image.stride));
    }
};
#endif

std::unique_ptr<FaceDetector> cascadeInstead(const std::string& why) {
    auto cascade = makeCascadeDetector();
    platform::logLine(platform::LogCategory::face, platform::LogSeverity::warn,
                      "face detector: " + why + "; using the " + cascade->name());
    return cascade;
}

}  // namespace

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
