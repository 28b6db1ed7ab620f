#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "velvix/capture/capture_backend.hpp"

// How V4L2 formats, sizes and frame intervals map onto the capture layer's terms.
namespace velvix::v4l2 {

// The calls made on an open device; the real one goes through libv4l2, tests use a fake.
class DeviceIo {
  public:
    virtual ~DeviceIo() = default;
    // Returns -1 and sets errno on failure, like ioctl.
    virtual int control(unsigned long request, void* argument) = 0;
    // Maps a buffer of the device, like mmap; MAP_FAILED on failure.
    virtual void* map(std::size_t length, std::int64_t offset) = 0;
    virtual void unmap(void* start, std::size_t length) = 0;
    // Waits up to that long for a filled buffer: 1 when one is there, 0 when none came, -1
    // when the device failed or went away.
    virtual int waitForFrame(int milliseconds) = 0;
};

// The pixel format to ask the driver for. RGB24 is asked for as BGR24, whose bytes are in
// the grabber's order (rows still come top row first). Nothing for sub-types V4L2 lacks.
std::optional<std::uint32_t> pixelFormatFor(MediaSubtype subtype);
// The first sub-type of the fallback list that maps to the pixel format.
std::optional<MediaSubtype> subtypeFor(std::uint32_t pixelFormat);

// Every size of every capture format the driver lists (libv4l2 adds the formats it converts
// to), with its sub-type; formats without a sub-type are left out.
std::vector<SizeCapability> listCapabilities(DeviceIo& device);

// The sizes and frame periods of the camera's own formats that have a sub-type, in the
// driver's order; the formats libv4l2 makes by converting are left out. A range of sizes
// counts as its size nearest `asked`, a range of intervals as the period nearest it.
std::vector<CameraMode> listModes(DeviceIo& device, const VideoFormat& asked);

// The driver's format now; an unknown pixel format counts as RGB24, which libv4l2 produces
// from the formats it knows.
std::optional<VideoFormat> readFormat(DeviceIo& device);

// Sets size and pixel format; true only when the driver took them as they are. A frame
// period is set to the nearest interval the driver offers for that format.
bool writeFormat(DeviceIo& device, const VideoFormat& format);

// The interval the driver offers for the format that is nearest `period` (100 ns units).
std::optional<v4l2_fract> nearestInterval(DeviceIo& device, std::uint32_t pixelFormat, int width,
                                          int height, int period);

}  // namespace velvix::v4l2
