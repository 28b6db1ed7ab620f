#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "velvix/base/picture.hpp"

namespace velvix {

// The detector's result buffer: an int32 face count, then one record of int16 values per face.
inline constexpr std::size_t kDetectionBufferBytes = 0x20000;
inline constexpr int kMaxDetections = 256;
// Record length of the result layout this program defines (and older detector releases use).
inline constexpr int kClassicRecordShorts = 142;

// The result buffer, allocated before main() runs and never freed.
unsigned char* detectionResultBuffer();

// What a detector logs when it is given no result buffer, and returns null.
inline constexpr char kNoResultBufferLine[] = "face detector: no result buffer; no face searched";

struct DetectedFace {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Finds faces in a picture of 3-byte pixels (blue, green, red). It writes the count and the
// records into `resultBuffer` and returns it, or null (which counts as no face).
class FaceDetector {
  public:
    virtual ~FaceDetector() = default;
    virtual std::string name() const = 0;
    // int16 values from one record to the next in the result buffer.
    virtual int recordShorts() const = 0;
    virtual int* detect(unsigned char* resultBuffer, ConstPicture image) = 0;
};

// The number of faces in a returned buffer (0 for null, at most kMaxDetections).
int detectedFaceCount(const int* result);
// Fields 1 to 4 (left, top, width, height) of record i.
DetectedFace detectedFace(const int* result, int recordShorts, int index);
// Writes one record in the layout: confidence, the box, five facial points left at 0.
void writeDetectedFace(int* result, int recordShorts, int index, const DetectedFace& face,
                       int confidence);

// The program's detector: libfacedetection where the program was built with it; otherwise the
// BlazeFace full-range network when its file is found among the program's data files
// (platform/data_files.hpp) and works; otherwise, saying why in one line, OpenCV's cascade
// classifier.
std::unique_ptr<FaceDetector> makeFaceDetector();
// OpenCV's cascade classifier with opencv-data's frontal face cascade, found among the
// program's data files.
std::unique_ptr<FaceDetector> makeCascadeDetector();
// The BlazeFace full-range network of `networkPath`, or the cascade (with one line) when that
// file cannot be used.
std::unique_ptr<FaceDetector> makeFaceDetector(const std::string& networkPath);

}  // namespace velvix
