#pragma once

#include <dshow.h>

#include <cstdint>
#include <vector>

// A DirectShow camera of the test's own: a source filter with one video output pin of the
// capture category, as webcams have, that lists its capabilities through IAMStreamConfig, each
// described by a VIDEOINFOHEADER2, takes a listed one by SetFormat, and while the graph runs sends
// the same frame bytes again and again, as a webcam sends MJPG.
namespace velvix::testing {

// A sub-type at one size, sent every `fastest` to `slowest` (100 ns units); what SetFormat took
// has one period.
struct CameraCapability {
    GUID subtype;
    int width;
    int height;
    REFERENCE_TIME fastest;
    REFERENCE_TIME slowest;

    bool operator==(const CameraCapability&) const = default;
};

// What a camera lists (its current format starts as the first) and sends, and what it was set to.
struct CameraDescription {
    std::vector<CameraCapability> capabilities;
    std::vector<std::uint8_t> frame = std::vector<std::uint8_t>(64);
    std::vector<CameraCapability> formatsSet{};
};

// Made with one reference, which the caller owns; `camera` must outlive the filter.
IBaseFilter* makeCameraFilter(CameraDescription& camera);

}  // namespace velvix::testing
