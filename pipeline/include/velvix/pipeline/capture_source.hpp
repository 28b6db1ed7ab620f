#pragma once

#include <cstdint>

#include "velvix/pipeline/frame_size.hpp"

namespace velvix {

inline constexpr int kMaxCaptureDevices = 20;

// Media sub-types a device can be asked for, in the order in which the capture layer tries
// them when the requested one is refused.
enum class MediaSubtype {
    rgb24,
    rgb32,
    rgb555,
    rgb565,
    yuy2,
    yvyu,
    yuyv,
    iyuv,
    uyvy,
    yv12,
    yvu9,
    y411,
    y41p,
    y211,
    ayuv,
    mjpg,
    y800,
    y8,
    grey,
    i420,
    by8,
    y16,
    nv12
};

// Physical inputs a device can be routed to.
enum class ConnectorKind { composite, sVideo, tuner, usb, ieee1394, yryby, serialDigital };

// The cameras as the frame worker sees them: numbered devices that take requests, open,
// report new frames and hand over the newest one. Used on the worker's thread only.
class CaptureSource {
  public:
    virtual ~CaptureSource() = default;

    // Enumerates the devices (and learns their names); returns how many there are.
    virtual int countDevices() = 0;
    // The number of devices found by the last openDevice.
    virtual int deviceCount() const = 0;

    // Requests, placed on a device before it is opened.
    virtual void setFramePeriod(int device, int period100ns) = 0;
    virtual void setAskSize(int device, int width, int height, MediaSubtype subtype) = 0;
    virtual void setConnector(int device, ConnectorKind kind) = 0;
    // Re-open the device by itself once `threshold` polls pass without a new frame.
    virtual void setReconnect(int device, int threshold) = 0;

    virtual bool openDevice(int device) = 0;
    // Stops the device and forgets every request placed on it.
    virtual void closeDevice(int device) = 0;
    virtual bool isCapturing(int device) const = 0;
    virtual bool pollNewFrame(int device) = 0;
    // Copies the newest frame of `device` into `destination` as size.width x size.height
    // pixels in the capture layout, whatever size the device itself delivers.
    virtual bool fetchFrame(int device, std::uint8_t* destination, FrameSize size) = 0;
};

}  // namespace velvix
