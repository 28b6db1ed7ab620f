#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "velvix/pipeline/frame_size.hpp"

namespace velvix::process_tool {

struct ProcessOptions {
    std::string input;
    std::string output;  // empty: write nothing
    int level = 35;
    bool noFace = false;
};

struct ParsedOptions {
    ProcessOptions options;
    std::string error;  // empty when the command line is usable
};

ParsedOptions parseOptions(const std::vector<std::string>& arguments);

// A still in the capture layout (red, green, blue, alpha), bottom row first, as the worker
// receives camera frames.
struct CaptureStill {
    FrameSize size;
    std::vector<std::uint8_t> pixels;
};

// What one run of the worker's per-frame processing did and how long each stage took.
struct ProcessReport {
    FrameSize size;
    bool vectorised = false;
    bool faceFound = false;
    double decodeMilliseconds = 0;
    double processMilliseconds = 0;
    double smoothMilliseconds = 0;
    double encodeMilliseconds = 0;
};

// The report as one line of JSON.
std::string reportJson(const ProcessReport& report);

// Runs the worker's processing once on the still and returns the frame it would publish
// (blue, green, red, bottom row first).
std::vector<std::uint8_t> processStill(const CaptureStill& still, int level, ProcessReport& report);

}  // namespace velvix::process_tool
