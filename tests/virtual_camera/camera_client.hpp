#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "velvix/capture/dshow_backend.hpp"
#include "velvix/pipeline/frame_ring.hpp"
#include "velvix/virtual_camera/frame_output.hpp"

// The Velvix Camera as a video-call program meets it on Windows: a DirectShow video input
// device, opened by its name through the program's own capture backend.
namespace velvix::virtual_camera::testing {

using Bytes = std::vector<std::uint8_t>;

// regsvr32 /s with these switches on the camera DLL `dll`; its exit code.
int regsvr32(const std::vector<std::string>& switches, const std::string& dll);

// Whether the system's video input devices include the Velvix Camera.
bool cameraListed();

// A digest of a picture, for messages: equal pictures, equal digests.
std::string digest(const Bytes& bytes);

// COM on the calling thread, set up as the capture backend sets it up.
class ComOnThisThread {
  public:
    ComOnThisThread() { backend_.beginThreadUse(); }
    ~ComOnThisThread() { backend_.endThreadUse(); }

  private:
    DirectShowBackend backend_;
};

// A format asked of the camera, and the layout its samples must have.
struct CameraFormatCase {
    VideoFormat asked;
    OutputFormat layout;
};

// The newest sample the camera delivered, and how many came.
class SampleRecorder final : public SampleSink {
  public:
    void deliverSample(const std::uint8_t* data, std::size_t length) override;
    Bytes latest() const;
    int count() const;

  private:
    mutable std::mutex mutex_;
    Bytes latest_;
    int count_ = 0;
};

// The camera streaming in one format from ring `ringName`, which it reads through
// VELVIX_CAMERA_RING, set for this process.
class CameraClient {
  public:
    CameraClient(const std::string& ringName, const CameraFormatCase& format);
    ~CameraClient();
    CameraClient(const CameraClient&) = delete;
    CameraClient& operator=(const CameraClient&) = delete;

    // False, with the reason on standard error, when the camera could not be opened in the
    // format or would not stream.
    bool streaming() const { return streaming_; }
    const SampleRecorder& samples() const { return samples_; }
    // What the camera must deliver for a frame of the ring: the bridge's own conversion, which
    // for RGB24 at the ring's size is the ring's frame byte for byte.
    Bytes expectedSample(const Bytes& ringPixels, FrameSize ringSize) const;
    Bytes expectedPlaceholder() const;
    // Whether the newest sample is ring `ringName`'s newest frame, which must have the asked
    // size.
    bool showsTheRing(const std::string& ringName) const;
    bool showsThePlaceholder() const;
    // The ring's newest frame and the newest sample, as digests, for a message.
    std::string comparison(const std::string& ringName) const;

  private:
    CameraFormatCase format_;
    SampleRecorder samples_;  // outlives the stream
    DirectShowBackend backend_;
    std::unique_ptr<DeviceConnection> connection_;
    bool streaming_ = false;
};

}  // namespace velvix::virtual_camera::testing
