#include "process_still.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "velvix/filters/cpu_info.hpp"
#include "velvix/filters/smoothing.hpp"
#include "velvix/pipeline/frame_processor.hpp"

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

    double milliseconds = 0;

  private:
    FilterSmoother smoother_;
};

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

ParsedOptions parseOptions(const std::vector<std::string>& arguments) {
    ParsedOptions parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--output" && hasValue) {
            parsed.options.output = arguments[++i];
        } else if (argument == "--level" && hasValue) {
            const auto level = parseLevel(arguments[++i]);
            if (!level) {
                parsed.error = "--level takes a whole number from 0 to 100";
                return parsed;
            }
            parsed.options.level = *level;
        } else if (argument == "--no-face") {
            parsed.options.noFace = true;
        } else if (argument.starts_with("--") || !parsed.options.input.empty()) {
            parsed.error = "unexpected argument " + argument;
            return parsed;
        } else {
            parsed.options.input = argument;
        }
    }
    if (parsed.options.input.empty()) {
        parsed.error = "no input picture given";
    }
    return parsed;
}

std::string reportJson(const ProcessReport& report) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "{\"width\":%d,\"height\":%d,\"filter\":%s,\"face\":%s,"
                  "\"milliseconds\":{\"decode\":%.3f,\"process\":%.3f,\"smooth\":%.3f,"
                  "\"packAndMask\":%.3f,\"encode\":%.3f}}",
                  report.size.width, report.size.height,
                  jsonString(report.vectorised ? "avx2" : "scalar").c_str(),
                  jsonString(report.faceFound ? "face" : "no face").c_str(),
                  report.decodeMilliseconds, report.processMilliseconds, report.smoothMilliseconds,
                  report.processMilliseconds - report.smoothMilliseconds,
                  report.encodeMilliseconds);
    return text;
}

std::vector<std::uint8_t> processStill(const CaptureStill& still, int level,
                                       ProcessReport& report) {
    FrameBuffers buffers(still.size);
    std::memcpy(buffers.capture(), still.pixels.data(), still.pixels.size());
    AppliedSettings settings;
    settings.smoothOn = true;
    settings.smoothLevel = level;
    TimedSmoother smoother;
    FaceOutputs face;
    const auto start = Clock::now();
    processFrame(buffers, still.size, settings, {nullptr, &smoother}, face);
    report.processMilliseconds = millisecondsSince(start);
    report.smoothMilliseconds = smoother.milliseconds;
    report.size = still.size;
    report.vectorised = hasAVX2;
    report.faceFound = face.faceValid;
    const auto frameBytes = static_cast<std::size_t>(still.size.pixels()) * 3;
    return {buffers.output(), buffers.output() + frameBytes};
}

}  // namespace velvix::process_tool
