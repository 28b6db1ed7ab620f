// velvix-process: runs the frame worker's own per-frame processing once on a still picture.
#include <stb_image.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "process_still.hpp"
#include "ring_commands.hpp"
#include "velvix/filters/rb_filter.hpp"

namespace {

using namespace velvix;
using Clock = std::chrono::steady_clock;

constexpr int kUsageError = 2;

const char* const kUsage =
    "usage: velvix-process INPUT [--output OUT.png] [--level N] [--no-face]\n"
    "  INPUT            a PNG or JPEG picture, 32 x 16 to 10000 x 10000 pixels\n"
    "  --output FILE    write the processed picture as PNG\n"
    "  --level N        smoothing level 0 to 100 (default 35)\n"
    "  --no-face        smooth the whole picture, masked by skin colour, without looking for a\n"
    "                   face (this build has no face analysis yet, so it always does)\n"
    "Prints one JSON line: the picture's size, the paths taken and the time per stage.\n";

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// RGBA rows, top row first, into the capture layout, bottom row first.
process_tool::CaptureStill captureStill(const stbi_uc* rgba, int width, int height) {
    process_tool::CaptureStill still{{width, height}, {}};
    const auto rowBytes = static_cast<std::size_t>(width) * 4;
    still.pixels.resize(rowBytes * static_cast<std::size_t>(height));
    for (std::size_t row = 0; row < static_cast<std::size_t>(height); ++row) {
        const stbi_uc* source = rgba + (static_cast<std::size_t>(height) - 1 - row) * rowBytes;
        std::copy(source, source + rowBytes, still.pixels.begin() + row * rowBytes);
    }
    return still;
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = process_tool::parseOptions({argv + 1, argv + argc});
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "velvix-process: %s\n%s", parsed.error.c_str(), kUsage);
        return kUsageError;
    }
    const process_tool::ProcessOptions& options = parsed.options;

    process_tool::ProcessReport report;
    auto start = Clock::now();
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_uc* rgba = stbi_load(options.input.c_str(), &width, &height, &channels, 4);
    if (rgba == nullptr) {
        std::fprintf(stderr, "velvix-process: cannot read %s: %s\n", options.input.c_str(),
                     stbi_failure_reason());
        return 1;
    }
    if (width < 32 || height < 16 || width > kMaximumFilterSize || height > kMaximumFilterSize) {
        std::fprintf(stderr,
                     "velvix-process: %s is %d x %d pixels; the filter takes 32 x 16 to "
                     "10000 x 10000\n",
                     options.input.c_str(), width, height);
        stbi_image_free(rgba);
        return 1;
    }
    const process_tool::CaptureStill still = captureStill(rgba, width, height);
    stbi_image_free(rgba);
    report.decodeMilliseconds = millisecondsSince(start);

    RingFrame frame{still.size, 0, process_tool::processStill(still, options.level, report)};

    if (!options.output.empty()) {
        start = Clock::now();
        if (!ring_tool::writeSnapshot(frame, options.output)) {
            std::fprintf(stderr, "velvix-process: cannot write %s\n", options.output.c_str());
            return 1;
        }
        report.encodeMilliseconds = millisecondsSince(start);
    }
    std::printf("%s\n", process_tool::reportJson(report).c_str());
    return 0;
}
