#include "process_still.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "velvix/face/face_step.hpp"
#include "velvix/filters/smoothing.hpp"
#include "velvix/pipeline/face_mask.hpp"
#include "velvix/pipeline/frame_processor.hpp"
#include "velvix/pipeline/landmark_layout.hpp"
#include "velvix/pipeline/pixels.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix::process_tool {
namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The worker's smoother, timed.
class TimedSmoother final : public Smoother {
  public:
    void smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width, int height,
                     int level) override {
        const auto start = Clock::now();
        smoother_.smoothFrame(source, destination, width, height, level);
        milliseconds += millisecondsSince(start);
    }
    int columnGrid() const override { return kFilterGrid; }

    double milliseconds = 0;

  private:
    FilterSmoother smoother_;
};

// The worker's face step, timed.
class TimedFaceStep final : public FaceStep {
  public:
    explicit TimedFaceStep(const std::string& modelPath) : step_(makeFaceDetector(), modelPath) {}
    void run(const FaceStepBuffers& buffers, FaceOutputs& face) override {
        const auto start = Clock::now();
        step_.run(buffers, face);
        milliseconds += millisecondsSince(start);
    }
    std::string detectorName() const { return step_.detectorName(); }

    double milliseconds = 0;

  private:
    FaceProcessingStep step_;
};

std::string jsonNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::optional<int> parseLevel(const std::string& text) {
    std::size_t used = 0;
    try {
        const int level = std::stoi(text, &used);
        if (used == text.size() && level >= 0 && level <= 100) {
            return level;
        }
    } catch (const std::logic_error&) {
    }
    return std::nullopt;
}

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

}  // namespace

Result<ProcessOptions> parseOptions(const std::vector<std::string>& arguments) {
    ProcessOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            return options;
        }
        const bool takesValue = argument == "--output" || argument == "--level" ||
                                argument == "--model" || argument == "--landmarks" ||
                                argument == "--overlay";
        if (takesValue && !hasValue) {
            return Failure{argument + " needs a value"};
        }
        if (argument == "--output" && hasValue) {
            options.output = arguments[++i];
        } else if (argument == "--level" && hasValue) {
            const auto level = parseLevel(arguments[++i]);
            if (!level) {
                return Failure{"--level takes a whole number from 0 to 100"};
            }
            options.level = *level;
        } else if (argument == "--no-face") {
            options.noFace = true;
        } else if (argument == "--rectangle-mask") {
            options.rectangleMask = true;
        } else if (argument == "--model" && hasValue) {
            options.modelPath = arguments[++i];
        } else if (argument == "--landmarks" && hasValue) {
            options.landmarksPath = arguments[++i];
        } else if (argument == "--overlay" && hasValue) {
            options.overlayPath = arguments[++i];
        } else if (argument.starts_with("--") || !options.input.empty()) {
            return Failure{"unexpected argument " + argument};
        } else {
            options.input = argument;
        }
    }
    if (options.input.empty()) {
        return Failure{"no input picture given"};
    }
    return options;
}

std::string faceJson(const UprightFace& face) {
    if (!face.searched) {
        return "\"face\":\"no face\",\"detector\":null";
    }
    std::string text = "\"face\":{\"accepted\":";
    text += face.accepted ? "true" : "false";
    if (face.accepted) {
        text += ",\"x\":" + std::to_string(face.x) + ",\"y\":" + std::to_string(face.y) +
                ",\"width\":" + std::to_string(face.width) +
                ",\"height\":" + std::to_string(face.height) +
                ",\"landmarks\":" + (face.landmarks.empty() ? "false" : "true");
    }
    return text + "},\"detector\":" + jsonString(face.detector);
}

std::string reportJson(const ProcessReport& report) {
    return "{\"width\":" + std::to_string(report.size.width) +
           ",\"height\":" + std::to_string(report.size.height) +
           ",\"filter\":" + jsonString(report.vectorised ? "avx2" : "scalar") + "," +
           faceJson(report.face) +
           ",\"milliseconds\":{\"decode\":" + jsonNumber(report.decodeMilliseconds) +
           ",\"process\":" + jsonNumber(report.processMilliseconds) +
           ",\"face\":" + jsonNumber(report.faceMilliseconds) +
           ",\"smooth\":" + jsonNumber(report.smoothMilliseconds) + ",\"packAndMask\":" +
           jsonNumber(report.processMilliseconds - report.smoothMilliseconds -
                      report.faceMilliseconds) +
           ",\"encode\":" + jsonNumber(report.encodeMilliseconds) + "}}";
}

UprightFace uprightFace(const FaceOutputs& face, FrameSize size, MaskShape shape) {
    UprightFace upright;
    upright.searched = true;
    upright.accepted = face.faceValid;
    if (!face.faceValid) {
        return upright;
    }
    // The turned frame is the upright still mirrored left to right: turned column c is
    // upright column width - 1 - c, rows are the same.
    const auto mirrorX = [&](float turnedX) {
        return static_cast<float>(size.width - 1 - face.faceX) - turnedX;
    };
    upright.x = size.width - face.faceX - face.faceWidth;
    upright.y = face.faceY;
    upright.width = face.faceWidth;
    upright.height = face.faceHeight;
    // The buffers hold the still's bottom row first.
    const auto uprightOutline = [&](const FaceOutline& outline) {
        std::vector<Point> points;
        for (int k = 0; k < outline.count; ++k) {
            const PointF& point = outline.points[static_cast<std::size_t>(k)];
            points.push_back({point.x, static_cast<float>(size.height - 1) - point.y});
        }
        return points;
    };
    if (const auto region = faceRegionOf(face, size)) {
        upright.maskOutline = uprightOutline(region->outline);
        for (const FaceOutline& feature : region->features) {
            if (shape == MaskShape::faceOutline && feature.count > 0) {
                upright.featureOutlines.push_back(uprightOutline(feature));
            }
        }
    }
    if (!face.faceLandmarks) {
        return upright;
    }
    const FaceLandmarks& turned = *face.faceLandmarks;
    for (std::size_t k = 0; k < turned.size(); ++k) {
        const PointF& point = turned[kMirroredLandmark[k]];
        upright.landmarks.push_back({mirrorX(point.x), static_cast<float>(face.faceY) + point.y});
    }
    if (shape != MaskShape::rectangle) {
        return upright;
    }
    // The mask measures from the rectangle's far corner, one pixel beyond the landmarks'
    // origin: u = turned x + 1 and v = turned y + 1.
    for (const FeatureBox& box : featureBoxes(turned)) {
        upright.protectedBoxes.push_back(
            {mirrorX(box.right - 1), static_cast<float>(face.faceY) + box.top - 1,
             mirrorX(box.left - 1), static_cast<float>(face.faceY) + box.bottom - 1});
    }
    return upright;
}

std::string ptsText(const std::vector<Point>& points) {
    std::string text = "version: 1\nn_points: " + std::to_string(points.size()) + "\n{\n";
    for (const Point& point : points) {
        char line[64];
        std::snprintf(line, sizeof line, "%.3f %.3f\n", point.x, point.y);
        text += line;
    }
    return text + "}\n";
}

std::vector<std::uint8_t> processStill(const CaptureStill& still, const ProcessOptions& options,
                                       ProcessReport& report) {
    FrameBuffers buffers(still.size);
    std::memcpy(buffers.capture(), still.pixels.data(), still.pixels.size());
    AppliedSettings settings;
    settings.smoothOn = true;
    settings.smoothLevel = options.level;
    settings.maskShape = options.rectangleMask ? MaskShape::rectangle : MaskShape::faceOutline;
    TimedSmoother smoother;
    std::optional<TimedFaceStep> faceStep;
    if (!options.noFace) {
        faceStep.emplace(options.modelPath);
    }
    FaceOutputs face;
    FaceRegionFade fade;
    const auto start = Clock::now();
    processFrame(buffers, still.size, settings, {faceStep ? &*faceStep : nullptr, &smoother}, face,
                 fade);
    report.processMilliseconds = millisecondsSince(start);
    report.smoothMilliseconds = smoother.milliseconds;
    report.size = still.size;
    report.vectorised = hasAVX2;
    if (faceStep) {
        report.faceMilliseconds = faceStep->milliseconds;
        report.face = uprightFace(face, still.size, settings.maskShape);
        report.face.detector = faceStep->detectorName();
    }
    const auto frameBytes = static_cast<std::size_t>(still.size.pixels()) * 3;
    return {buffers.output(), buffers.output() + frameBytes};
}

}  // namespace velvix::process_tool
