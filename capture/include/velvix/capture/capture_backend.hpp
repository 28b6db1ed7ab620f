#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velvix/pipeline/capture_source.hpp"

// What the capture manager needs from a camera system: the devices present, and for one
// opened device its formats and a stream of samples. Everything else (records, the sample
// callback, polling, the freeze check, negotiation order, conversions) is the manager's.
namespace velvix {

inline constexpr int kNoFramePeriod = -1;

struct VideoFormat {
    int width = 0;
    int height = 0;
    MediaSubtype subtype = MediaSubtype::rgb24;
    int framePeriod = kNoFramePeriod;  // 100 ns units

    friend bool operator==(const VideoFormat&, const VideoFormat&) = default;
};

// The sizes a device offers for one sub-type: widths from minWidth to maxWidth in steps of
// stepX, heights likewise. A fixed size has equal bounds.
struct SizeCapability {
    MediaSubtype subtype = MediaSubtype::rgb24;
    int minWidth = 0;
    int maxWidth = 0;
    int stepX = 1;
    int minHeight = 0;
    int maxHeight = 0;
    int stepY = 1;
};

// One size of one format as the device lists it, with the frame periods (100 ns units) it
// offers there in the device's order; none when the device does not say.
struct CameraMode {
    MediaSubtype subtype = MediaSubtype::rgb24;
    int width = 0;
    int height = 0;
    std::vector<int> framePeriods;
};

// Receives the samples of a running stream on the backend's streaming thread.
class SampleSink {
  public:
    virtual ~SampleSink() = default;
    virtual void deliverSample(const std::uint8_t* data, std::size_t length) = 0;
};

// One device, opened for configuration and streaming. Used by one thread at a time.
class DeviceConnection {
  public:
    virtual ~DeviceConnection() = default;

    virtual std::optional<VideoFormat> currentFormat() = 0;
    // True only when the device now delivers exactly this size and sub-type. The frame
    // period is a wish the device follows as closely as it can.
    virtual bool setFormat(const VideoFormat& format) = 0;
    virtual std::vector<SizeCapability> capabilities() = 0;
    // Every size and frame period of the device's own formats that the capture layer can take,
    // for choosing one (see chooseFormat); a range of sizes or periods as its member nearest
    // the asked one. Empty where the camera system does not list them; the manager then asks
    // for formats one by one.
    virtual std::vector<CameraMode> modes(const VideoFormat& asked) {
        (void)asked;
        return {};
    }
    // Routes the physical input of that DirectShow connector type (composite video 2, S-Video
    // 3, tuner 1, ...) to the device's video decoder, where the device has such a switch.
    virtual void routeInput(int connectorType) { (void)connectorType; }

    // Starts delivering samples of the current size to the sink, laid out as `delivered`
    // (see deliveredSubtype).
    virtual bool startStreaming(MediaSubtype delivered, SampleSink& sink) = 0;
    // Returns once the sink will not be called any more. A stream that ended by itself
    // (the device went away) stops at once.
    virtual void stopStreaming() = 0;
};

class CaptureBackend {
  public:
    virtual ~CaptureBackend() = default;

    // The devices present now, in a stable order, named in UTF-16 units.
    virtual std::vector<std::u16string> deviceNames() = 0;
    // Nothing when device `index` of the last listing cannot be opened.
    virtual std::unique_ptr<DeviceConnection> connect(int index) = 0;

    // Called when a thread starts and stops using the backend, once per thread however many
    // managers it holds; for camera systems that need per-thread set-up.
    virtual void beginThreadUse() {}
    virtual void endThreadUse() {}
};

using CaptureBackends = std::vector<std::shared_ptr<CaptureBackend>>;

}  // namespace velvix
