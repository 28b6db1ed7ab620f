#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "velvix/capture/capture_backend.hpp"
#include "velvix/filters/bilinear_scale.hpp"
#include "velvix/pipeline/capture_source.hpp"

namespace velvix {

struct FormatChoice;
class MjpgDecoder;
class SampleGrabberCallback;

// Marks the current thread as using the backends. The first use of a backend on a thread
// calls its beginThreadUse, the last one its endThreadUse; the count is kept per thread, so
// managers on different threads never share it. Release it on the thread that took it.
class BackendThreadUse {
  public:
    explicit BackendThreadUse(const CaptureBackends& backends);
    ~BackendThreadUse();
    BackendThreadUse(const BackendThreadUse&) = delete;
    BackendThreadUse& operator=(const BackendThreadUse&) = delete;

  private:
    CaptureBackends backends_;
};

inline constexpr int kMaxDeviceNameBytes = 253;
inline constexpr int kDefaultReconnectThreshold = 10000;
// A freeze is never reported before this many polls since the open.
inline constexpr unsigned kPollsBeforeFreezeCheck = 400;
inline constexpr int kFetchWaitMilliseconds = 1000;

// The state of one device index: its requests, the negotiated format and the stream.
struct CaptureDevice {
    CaptureDevice();
    ~CaptureDevice();
    CaptureDevice(const CaptureDevice&) = delete;
    CaptureDevice& operator=(const CaptureDevice&) = delete;

    std::size_t bufferSize = 0;  // bytes of one delivered frame (MJPG: the most it may have)
    int width = 0;
    int height = 0;
    int askWidth = 640;
    int askHeight = 480;
    MediaSubtype askSubtype = MediaSubtype::rgb24;
    VideoFormat mediaType;  // the device's current format
    MediaSubtype subtype = MediaSubtype::rgb24;
    bool tryOtherSizes = true;
    bool useInputRouting = false;
    bool capturing = false;
    bool sizeFixed = false;
    bool buildStarted = false;
    bool reconnectOnFreeze = false;
    int reconnectThreshold = kDefaultReconnectThreshold;
    unsigned pollsRunning = 0;
    int connectorType = 2;
    ConnectorKind connectorKind = ConnectorKind::composite;
    int deviceId = -1;
    int framePeriod = kNoFramePeriod;
    std::vector<std::uint8_t> frameBuffer;  // the converted picture, for a size change
    std::optional<BilinearScaler> scaler;   // from the device's size to the asked frame size
    std::unique_ptr<MjpgDecoder> decoder;   // for cameras that send MJPG
    // Members go in reverse order: the connection first, the thread's set-up last.
    // Keeps the backends set up on the opening thread while the stream runs.
    std::unique_ptr<BackendThreadUse> threadUse;
    std::unique_ptr<SampleGrabberCallback> callback;
    std::unique_ptr<DeviceConnection> connection;
};

// The offered size nearest to width x height by the sum of the width and height differences:
// an exact match at once, otherwise the nearest, the earlier capability on a tie. Capabilities
// with a step below 1 are skipped. Nothing when none is usable.
std::optional<VideoFormat> nearestOfferedSize(const std::vector<SizeCapability>& capabilities,
                                              int width, int height);

// Up to 20 devices from one or more backends (listed in the backends' order), each opened at a
// requested size, sub-type and frame period, polled for new frames and fetched in the capture
// layout. Every manager keeps its own name table; managers may live on different threads.
class CaptureManager final : public CaptureSource {
  public:
    explicit CaptureManager(CaptureBackends backends);
    ~CaptureManager() override;
    CaptureManager(const CaptureManager&) = delete;
    CaptureManager& operator=(const CaptureManager&) = delete;

    int countDevices() override;
    int deviceCount() const override { return deviceCount_; }
    // Row `index` of the name table: the name's UTF-16 units reduced to their low bytes, at
    // most 253 of them. Empty for a row never written.
    std::string deviceName(int index) const;

    void setFramePeriod(int device, int period100ns) override;
    void setAskSize(int device, int width, int height, MediaSubtype subtype) override;
    void setConnector(int device, ConnectorKind kind) override;
    void setReconnect(int device, int threshold) override;

    bool openDevice(int device) override;
    void closeDevice(int device) override;
    bool isCapturing(int device) const override;
    bool pollNewFrame(int device) override;
    bool fetchFrame(int device, std::uint8_t* destination, FrameSize size) override;
    bool reopenDevice(int device);

    const CaptureDevice& record(int device) const { return *devices_[index(device)]; }
    // What the format of the last opened camera costs the person in frames (slowCameraNote),
    // while it stays open; empty when nothing. Safe from any thread.
    std::string cameraNote() const;

  private:
    struct DeviceLocation {
        CaptureBackend* backend = nullptr;
        int index = -1;
    };

    static std::size_t index(int device) { return static_cast<std::size_t>(device); }
    static bool isRecord(int device) { return device >= 0 && device < kMaxCaptureDevices; }
    CaptureDevice& recordAt(int device) { return *devices_[index(device)]; }
    void replaceRecord(int device);
    std::vector<DeviceLocation> locateDevices(std::vector<std::u16string>* names);

    bool buildStream(int device, DeviceLocation location);
    bool failBuild(int device);
    bool negotiate(CaptureDevice& record);
    bool applyChoice(CaptureDevice& record, const FormatChoice& choice);
    bool applyFormat(CaptureDevice& record, int width, int height, MediaSubtype subtype);
    bool applyWanted(CaptureDevice& record, const VideoFormat& wanted);
    void useDefaultFormat(CaptureDevice& record, int width, int height);
    bool fixSize(CaptureDevice& record, int width, int height);
    bool toCaptureLayout(CaptureDevice& record, const std::uint8_t* frame, std::size_t length,
                         std::uint8_t* destination);

    CaptureBackends backends_;
    int deviceCount_ = 0;
    std::array<std::unique_ptr<CaptureDevice>, kMaxCaptureDevices> devices_;
    std::array<std::string, kMaxCaptureDevices> names_;
    mutable std::mutex noteLock_;
    std::string cameraNote_;
    int cameraNoteDevice_ = -1;
};

}  // namespace velvix
