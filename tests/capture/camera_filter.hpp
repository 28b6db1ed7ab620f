#pragma once

#include <dshow.h>
// After dshow.h, which it builds on.
#include <dvdmedia.h>

#include <cstdint>
#include <vector>

// A DirectShow camera of the test's own: a source filter with one video output pin of the
// capture category, as webcams have, that lists its capabilities through IAMStreamConfig (when
// configurable), takes a listed one by SetFormat, and while the graph runs sends the same frame
// bytes again and again, as a webcam sends MJPG. None of the system's decoders is involved.
namespace velvix::testing {

// One format the camera lists, described by a VIDEOINFOHEADER2.
struct CameraCapability {
    GUID subtype;
    VIDEOINFOHEADER2 header;
    VIDEO_STREAM_CONFIG_CAPS caps;
};

// MJPG at one size, offering frame periods from `fastest` to `slowest` (100 ns units).
CameraCapability mjpgCapability(int width, int height, REFERENCE_TIME fastest,
                                REFERENCE_TIME slowest);

// What SetFormat was given and took.
struct FormatSet {
    GUID formatType;
    GUID subtype;
    int width;
    int height;
    REFERENCE_TIME framePeriod;
};

// What a camera lists and sends, and what it was set to. The current format starts as the first
// capability.
struct CameraDescription {
    std::vector<CameraCapability> capabilities;
    std::vector<std::uint8_t> frame = std::vector<std::uint8_t>(64);
    bool configurable = true;  // lists its capabilities through IAMStreamConfig
    std::vector<FormatSet> formatsSet{};
};

// Made with one reference, which the caller owns; `camera` must outlive the filter.
IBaseFilter* makeCameraFilter(CameraDescription& camera);

}  // namespace velvix::testing
