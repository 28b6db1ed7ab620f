#pragma once

#include <dshow.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "velvix/pipeline/frame_size.hpp"
#include "velvix/virtual_camera/frame_output.hpp"

// The video formats the camera offers, and the DirectShow media types that describe them.
namespace velvix::virtual_camera {

// One format: a size in YUY2 (OutputFormat::yuyv) or in RGB24 (OutputFormat::bitmapRgb24).
struct CameraFormat {
    FrameSize size;
    OutputFormat layout = OutputFormat::yuyv;

    friend bool operator==(const CameraFormat&, const CameraFormat&) = default;
};

// The ring's size first, so that a program that takes the first format gets the program's
// frames unscaled, then 1280 x 720 and 640 x 480; each in YUY2 before RGB24, since many
// programs take the first format they are offered and some take nothing but YUY2. YUY2 pairs
// pixels, so an odd width is offered in RGB24 only.
std::vector<CameraFormat> offeredFormats(FrameSize ringSize);

std::size_t sampleBytes(const CameraFormat& format);

// Describes `format` in `type`, whose format block comes from CoTaskMemAlloc; false when memory
// is short.
bool describeFormat(const CameraFormat& format, AM_MEDIA_TYPE& type);
// A media type of its own, as IEnumMediaTypes and IAMStreamConfig hand them out: the caller
// frees it with deleteMediaType. Null when memory is short.
AM_MEDIA_TYPE* newMediaType(const CameraFormat& format);
// Frees what a media type holds (its format block and object), not the type itself.
void freeMediaType(AM_MEDIA_TYPE& type);
void deleteMediaType(AM_MEDIA_TYPE* type);

// The offered format that a complete media type asks for (the frame rate aside, which is
// always 30 frames per second); nothing for any other.
std::optional<CameraFormat> requestedFormat(const AM_MEDIA_TYPE& type,
                                            const std::vector<CameraFormat>& offered);
// Whether a connection's partial wish allows `format`: GUID_NULL and a missing format block
// leave that part open.
bool allows(const AM_MEDIA_TYPE& wish, const CameraFormat& format);

VIDEO_STREAM_CONFIG_CAPS capabilitiesOf(const CameraFormat& format);

}  // namespace velvix::virtual_camera
