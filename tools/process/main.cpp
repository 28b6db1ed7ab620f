// velvix-process: runs the frame worker's own per-frame processing once on a still picture.
#include <stb_image.h>
#include <stb_image_write.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "overlay.hpp"
#include "process_still.hpp"
#include "ring_commands.hpp"
#include "velvix/base/picture_rows.hpp"
#include "velvix/filters/rb_filter.hpp"

namespace {

using namespace velvix;
using Clock = std::chrono::steady_clock;

constexpr int kUsageError = 2;

const char* const kUsage =
    "usage: velvix-process INPUT [--output OUT.png] [--level N] [--no-face] [--rectangle-mask]\n"
    "                      [--model PATH] [--landmarks OUT.pts] [--overlay OUT.png]\n"
    "  INPUT              a PNG or JPEG picture, 32 x 16 to 10000 x 10000 pixels\n"
    "  --output FILE      write the processed picture as PNG\n"
    "  --level N          smoothing level 0 to 100 (default 35)\n"
    "  --no-face          smooth the whole picture, masked by skin colour, without looking for\n"
    "                     a face\n"
    "  --rectangle-mask   smooth the face's whole rectangle instead of the face's outline\n"
    "  --model PATH       the landmark model (default: velvix.dat beside the program or in the\n"
    "                     installed data folder)\n"
    "  --landmarks FILE   write the 98 points of the face as an iBUG .pts file\n"
    "  --overlay FILE     draw the face rectangle, the outline of the smoothed area, the\n"
    "                     landmarks and what the mask keeps unsmoothed (the features'\n"
    "                     outlines, or the rectangle mask's boxes) on the input and write it\n"
    "                     as PNG\n"
    "Prints one JSON line: the picture's size, the paths taken, the face and the time per\n"
    "stage.\n";

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::vector<std::uint8_t> rgbOf(const stbi_uc* rgba, FrameSize size) {
    std::vector<std::uint8_t> rgb;
    rgb.reserve(static_cast<std::size_t>(size.pixels()) * 3);
    for (std::size_t i = 0; i < static_cast<std::size_t>(size.pixels()); ++i) {
        rgb.insert(rgb.end(), rgba + 4 * i, rgba + 4 * i + 3);
    }
    return rgb;
}

// The bytes as they are: the same file on every system, line ends included.
bool writeText(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

// RGBA rows, top row first, into the capture layout, bottom row first.
process_tool::CaptureStill captureStill(const stbi_uc* rgba, int width, int height) {
    process_tool::CaptureStill still{{width, height}, {}};
    still.pixels.resize(static_cast<std::size_t>(still.size.pixels()) * 4);
    copyRows(upsideDown(packedPicture(rgba, still.size, 4)),
             packedPicture(still.pixels.data(), still.size, 4), 4);
    return still;
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = process_tool::parseOptions({argv + 1, argv + argc});
    if (!parsed) {
        std::fprintf(stderr, "velvix-process: %s\n%s", parsed.error().c_str(), kUsage);
        return kUsageError;
    }
    const process_tool::ProcessOptions& options = *parsed;
    if (options.help) {
        std::printf("%s", kUsage);
        return 0;
    }

    process_tool::ProcessReport report;
    auto start = Clock::now();
    int width = 0;
    int height = 0;
    int channels = 0;
    if (std::FILE* file = std::fopen(options.input.c_str(), "rb")) {
        std::fclose(file);
    } else {
        std::fprintf(stderr, "velvix-process: cannot read %s: %s\n", options.input.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // The size first, from the file's header: a small file may describe a picture of gigabytes.
    if (stbi_info(options.input.c_str(), &width, &height, &channels) == 0) {
        std::fprintf(stderr, "velvix-process: cannot read %s: %s\n", options.input.c_str(),
                     stbi_failure_reason());
        return 1;
    }
    if (width < 32 || height < 16 || width > kMaximumFilterSize || height > kMaximumFilterSize) {
        std::fprintf(stderr,
                     "velvix-process: %s is %d x %d pixels; the filter takes 32 x 16 to "
                     "10000 x 10000\n",
                     options.input.c_str(), width, height);
        return 1;
    }
    const int describedWidth = width;
    const int describedHeight = height;
    stbi_uc* rgba = stbi_load(options.input.c_str(), &width, &height, &channels, 4);
    if (rgba == nullptr || width != describedWidth || height != describedHeight) {
        std::fprintf(stderr, "velvix-process: cannot read %s: %s\n", options.input.c_str(),
                     rgba == nullptr ? stbi_failure_reason() : "it changed while it was read");
        stbi_image_free(rgba);
        return 1;
    }
    const process_tool::CaptureStill still = captureStill(rgba, width, height);
    std::vector<std::uint8_t> input;
    if (!options.overlayPath.empty()) {
        input = rgbOf(rgba, still.size);
    }
    stbi_image_free(rgba);
    report.decodeMilliseconds = millisecondsSince(start);

    RingFrame frame{still.size, 0, process_tool::processStill(still, options, report)};
    int exitCode = 0;
    if (!options.landmarksPath.empty()) {
        if (report.face.landmarks.empty()) {
            std::fprintf(
                stderr, "velvix-process: no landmarks to write: %s\n",
                report.face.accepted ? "no landmark model was loaded" : "no face was accepted");
            exitCode = 1;
        } else if (!writeText(options.landmarksPath,
                              process_tool::ptsText(report.face.landmarks))) {
            std::fprintf(stderr, "velvix-process: cannot write %s\n",
                         options.landmarksPath.c_str());
            exitCode = 1;
        }
    }
    if (!options.overlayPath.empty()) {
        process_tool::drawOverlay(input, still.size, report.face);
        if (stbi_write_png(options.overlayPath.c_str(), width, height, 3, input.data(),
                           width * 3) == 0) {
            std::fprintf(stderr, "velvix-process: cannot write %s\n", options.overlayPath.c_str());
            exitCode = 1;
        }
    }

    if (!options.output.empty()) {
        start = Clock::now();
        if (!ring_tool::writeSnapshot(frame, options.output)) {
            std::fprintf(stderr, "velvix-process: cannot write %s\n", options.output.c_str());
            return 1;
        }
        report.encodeMilliseconds = millisecondsSince(start);
    }
    std::printf("%s\n", process_tool::reportJson(report).c_str());
    return exitCode;
}
