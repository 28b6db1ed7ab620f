#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "velvix/base/result.hpp"
#include "velvix/pipeline/control_block.hpp"
#include "velvix/pipeline/face_outputs.hpp"
#include "velvix/pipeline/frame_size.hpp"

namespace velvix::process_tool {

struct ProcessOptions {
    std::string input;
    std::string output;  // empty: write nothing
    int level = 35;
    bool noFace = false;
    bool rectangleMask = false;  // smooth the face's rectangle as a whole
    std::string modelPath;       // empty: the usual places
    std::string landmarksPath;   // empty: write no points
    std::string overlayPath;     // empty: draw nothing
    bool help = false;
};

Result<ProcessOptions> parseOptions(const std::vector<std::string>& arguments);

// A still in the capture layout (red, green, blue, alpha), bottom row first, as the worker
// receives camera frames.
struct CaptureStill {
    FrameSize size;
    std::vector<std::uint8_t> pixels;
};

struct Point {
    float x = 0;
    float y = 0;
};

// A face step's result in the still's own upright pixels.
struct UprightFace {
    bool searched = false;
    bool accepted = false;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    std::string detector;
    // The 98 points in their usual order (image-left eye at 60 to 67), when a model placed them.
    std::vector<Point> landmarks;
    // The boxes the rectangle mask keeps unsmoothed: left, top, right, bottom.
    std::vector<std::array<float, 4>> protectedBoxes;
    // The outline of the face-shaped mask, round the face, and the grown outlines of the
    // features it keeps unsmoothed.
    std::vector<Point> maskOutline;
    std::vector<std::vector<Point>> featureOutlines;
};

// What one run of the worker's per-frame processing did and how long each stage took.
struct ProcessReport {
    FrameSize size;
    bool vectorised = false;
    UprightFace face;
    double faceMilliseconds = 0;
    double decodeMilliseconds = 0;
    double processMilliseconds = 0;
    double smoothMilliseconds = 0;
    double encodeMilliseconds = 0;
};

// The report as one line of JSON.
std::string reportJson(const ProcessReport& report);

// Runs the worker's processing once on the still and returns the frame it would publish
// (blue, green, red, bottom row first).
std::vector<std::uint8_t> processStill(const CaptureStill& still, const ProcessOptions& options,
                                       ProcessReport& report);

// The face step's outputs, which live in the turned frame, in the upright still, with what
// the mask of `shape` keeps unsmoothed.
UprightFace uprightFace(const FaceOutputs& face, FrameSize size, MaskShape shape);

// The points in iBUG .pts form.
std::string ptsText(const std::vector<Point>& points);

}  // namespace velvix::process_tool
