#include "format_choice.hpp"

#include <algorithm>
#include <cstdio>

#include "media_types.hpp"
#include "velvix/capture/capture_manager.hpp"
#include "velvix/pipeline/frame_size.hpp"

namespace velvix {
namespace {

constexpr double kUnitsPerSecond = 1e7;

// Cameras state 30 fps as 1/30 s or as 1001/30000 s; both keep up with a 333333 period.
int slowestKeepingUp(int askedPeriod) {
    return askedPeriod + askedPeriod / 100;
}

bool isCompressed(MediaSubtype subtype) {
    return subtype == MediaSubtype::mjpg;
}

// The slowest period that keeps up, the asked one where the mode lists none, nothing where
// every listed one is too slow.
std::optional<int> periodKeepingUp(const CameraMode& mode, int askedPeriod) {
    if (mode.framePeriods.empty()) {
        return askedPeriod;
    }
    std::optional<int> chosen;
    for (const int period : mode.framePeriods) {
        if (period > 0 && period <= slowestKeepingUp(askedPeriod) && period > chosen.value_or(0)) {
            chosen = period;
        }
    }
    return chosen;
}

int fastestPeriod(const CameraMode& mode) {
    int fastest = 0;
    for (const int period : mode.framePeriods) {
        if (period > 0 && (fastest == 0 || period < fastest)) {
            fastest = period;
        }
    }
    return fastest;
}

std::optional<FormatChoice> atAskedRate(const std::vector<const CameraMode*>& candidates,
                                        bool compressed, int askedPeriod) {
    for (const CameraMode* mode : candidates) {
        if (isCompressed(mode->subtype) != compressed) {
            continue;
        }
        if (const auto period = periodKeepingUp(*mode, askedPeriod)) {
            return FormatChoice{{mode->width, mode->height, mode->subtype, *period}, false};
        }
    }
    return std::nullopt;
}

std::optional<FormatChoice> atLowerRate(const std::vector<const CameraMode*>& candidates,
                                        bool compressed) {
    const CameraMode* best = nullptr;
    for (const CameraMode* mode : candidates) {
        if (isCompressed(mode->subtype) == compressed && fastestPeriod(*mode) > 0 &&
            (best == nullptr || fastestPeriod(*mode) < fastestPeriod(*best))) {
            best = mode;
        }
    }
    if (best == nullptr) {
        return std::nullopt;
    }
    return FormatChoice{{best->width, best->height, best->subtype, fastestPeriod(*best)}, true};
}

// The asked size where a mode has it, otherwise the nearest offered one.
std::optional<FrameSize> chosenSize(const std::vector<CameraMode>& modes, int width, int height) {
    std::vector<SizeCapability> sizes;
    for (const CameraMode& mode : modes) {
        if (mode.width > 0 && mode.height > 0) {
            sizes.push_back({mode.subtype, mode.width, mode.width, 1, mode.height, mode.height, 1});
        }
    }
    const auto nearest = nearestOfferedSize(sizes, width, height);
    if (!nearest) {
        return std::nullopt;
    }
    return FrameSize{nearest->width, nearest->height};
}

std::string framesPerSecond(int period) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", kUnitsPerSecond / period);
    std::string rate = text;
    rate.erase(rate.find_last_not_of('0') + 1);
    if (rate.back() == '.') {
        rate.pop_back();
    }
    return rate;
}

}  // namespace

std::optional<FormatChoice> chooseFormat(const std::vector<CameraMode>& modes, int width,
                                         int height, int framePeriod) {
    const int askedPeriod = framePeriod > 0 ? framePeriod : static_cast<int>(kFramePeriod);
    const auto size = chosenSize(modes, width, height);
    if (!size) {
        return std::nullopt;
    }
    std::vector<const CameraMode*> candidates;
    for (const CameraMode& mode : modes) {
        if (mode.width == size->width && mode.height == size->height) {
            candidates.push_back(&mode);
        }
    }
    if (auto choice = atAskedRate(candidates, false, askedPeriod)) {
        return choice;
    }
    if (auto choice = atAskedRate(candidates, true, askedPeriod)) {
        return choice;
    }
    if (auto choice = atLowerRate(candidates, false)) {
        return choice;
    }
    return atLowerRate(candidates, true);
}

std::string choiceLine(const FormatChoice& choice) {
    const VideoFormat& format = choice.format;
    std::string line = "camera: " + std::string(subtypeName(format.subtype)) + " " +
                       std::to_string(format.width) + "x" + std::to_string(format.height);
    if (format.framePeriod > 0) {
        line += " at " + framesPerSecond(format.framePeriod) + " fps";
    }
    return line;
}

std::string slowCameraNote(const FormatChoice& choice) {
    if (!choice.belowAskedRate) {
        return {};
    }
    return framesPerSecond(choice.format.framePeriod) +
           " fps: the camera sends no faster at this size";
}

}  // namespace velvix
