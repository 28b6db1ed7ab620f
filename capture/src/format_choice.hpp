#pragma once

#include <optional>
#include <string>
#include <vector>

#include "velvix/capture/capture_backend.hpp"

// Which of a camera's formats to ask for, so that the person gets the asked size at the full
// frame rate where the camera can give it, and is told when it cannot.
namespace velvix {

struct FormatChoice {
    VideoFormat format;  // its frame period is the one to ask for; none when the camera lists none
    bool belowAskedRate = false;
};

// The size is the asked one where any mode has it, otherwise the nearest offered one (see
// nearestOfferedSize). At that size, in this order: an uncompressed format at the asked rate,
// MJPG at the asked rate, an uncompressed format at its fastest lower rate, MJPG likewise.
// At the asked rate the slowest period that still keeps up is taken; modes without periods
// count as keeping up. A period of kNoFramePeriod asks for kFramePeriod. Nothing when
// no mode has a size.
std::optional<FormatChoice> chooseFormat(const std::vector<CameraMode>& modes, int width,
                                         int height, int framePeriod);

// "camera: MJPG 1280x720 at 30 fps", said once when the camera opens.
std::string choiceLine(const FormatChoice& choice);

// What the camera's line on the panel adds when the choice costs frames, as "10 fps: the
// camera sends no faster at this size"; empty otherwise.
std::string slowCameraNote(const FormatChoice& choice);

}  // namespace velvix
