#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "face_data.hpp"
#include "velvix/face/face_detector.hpp"

namespace velvix::train {

// The face step's box for the annotated face in `picture`: detection on the quarter-size copy
// of the picture turned as the step turns frames (mirrored left to right), its rectangle rules,
// then mirrored back. Nothing when no face is accepted or the accepted one is not the face
// whose points are given (its centre outside their bounding box).
std::optional<FaceBox> detectedFaceBox(FaceDetector& detector, const ColourPicture& picture,
                                       const std::vector<Point>& points);

// How detector boxes sit on the points' bounding boxes, on average, so that faces the detector
// misses get a box of the same kind.
struct BoxRelation {
    float centreX = 0;  // offset of the centre, in bounding-box widths
    float centreY = 0;  // in bounding-box heights
    float width = 1;    // box width over bounding-box width
    float height = 1;

    static BoxRelation measured(const std::vector<FaceBox>& detected,
                                const std::vector<FaceBox>& pointBoxes);
    FaceBox applied(const FaceBox& pointBox) const;
};

}  // namespace velvix::train
