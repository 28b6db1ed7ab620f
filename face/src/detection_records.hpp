#pragma once

#include <vector>

#include "velvix/face/face_detector.hpp"

namespace velvix {

// libfacedetection's result: an int32 count, then one record of `recordShorts` int16 values per
// face: the square of the score in hundredths, the box (left, top, width, height) and five
// facial points as (x, y) pairs. A null result has no face; the count is read as 0 to 256.
std::vector<DetectedFace> facesOfRecords(const int* result, int recordShorts);

}  // namespace velvix
