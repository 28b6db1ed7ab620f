#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "velvix/face/face_detector.hpp"
#include "velvix/face/landmark_fitter.hpp"

namespace velvix::train {

struct Point {
    float x = 0;
    float y = 0;
};

// An 8-bit grey picture, rows of `width` bytes.
struct GreyImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;

    std::uint8_t at(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
    // A view for the fitter; valid while this image lives and is not resized.
    LiteMat view() const;
};

// A picture in frame layout: 3 bytes per pixel (blue, green, red), rows of 3 x width bytes.
struct ColourPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
};

// One annotated face: the picture, its 98 points and the box the fit starts from.
struct TrainingFace {
    std::string name;
    GreyImage image;
    std::vector<Point> points;
    FaceBox box;
    bool detected = false;  // the box is the detector's, not estimated from the points
};

// The points of an iBUG .pts file, or nothing when it cannot be read.
std::optional<std::vector<Point>> readPointsFile(const std::string& path);

// The .jpg files of `folder` in name order; each has its points in a .pts file of the same stem.
std::vector<std::filesystem::path> annotatedPictures(const std::string& folder);

// A picture file in frame layout.
std::optional<ColourPicture> readColourPicture(const std::string& path);

// The grey picture the face step makes from a frame.
GreyImage greyOf(const ColourPicture& picture);

// The box around the points as the detector tends to draw it: the points' bounding box,
// widened to include the forehead above the brows.
FaceBox boxAroundPoints(const std::vector<Point>& points);

// The first of `folders` that cannot be listed (it does not exist, is not a folder, may not be
// read) as "FOLDER: why", or empty when all can; empty names are passed over. readFaceFolder
// expects a folder that can.
std::string folderProblem(const std::vector<std::string>& folders);

// The .jpg + .pts pairs of `folder` in name order (at most `limit` when it is positive), their
// points brought to the 98-point layout. Faces that cannot be read are skipped. With a
// detector each face is boxed the way the face step boxes it; faces it misses (and all faces
// without a detector) get their points' bounding box, moved and sized the way the detector's
// boxes of the folder sit on theirs.
std::vector<TrainingFace> readFaceFolder(const std::string& folder, int limit,
                                         FaceDetector* detector = nullptr);

// Points as an L x 2 float shape, and back.
LiteMat shapeOf(const std::vector<Point>& points);
std::vector<Point> pointsOf(const LiteMat& shape);

// Mean distance of `fitted` from `truth` over the points listed (all when empty), divided by
// the distance between the two outer eye corners of `truth`.
float normalisedMeanError(const std::vector<Point>& fitted, const std::vector<Point>& truth,
                          const std::vector<int>& indices = {});

}  // namespace velvix::train
