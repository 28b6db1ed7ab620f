#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "velvix/capture/dshow_backend.hpp"
#include "velvix/virtual_camera/frame_output.hpp"

// The Velvix Camera as a video-call program meets it on Windows: a DirectShow video input
// device, opened by its name through the program's own capture backend.
namespace velvix::virtual_camera::testing {

// Whether the system's video input devices include the Velvix Camera.
bool cameraListed();

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

// The camera streaming in one format from ring `ringName`, which it reads through
// VELVIX_CAMERA_RING, set for this process; it keeps the newest sample.
class CameraClient final : public SampleSink {
  public:
    CameraClient(const std::string& ringName, const CameraFormatCase& format);
    ~CameraClient() override;

    // False (and why on standard error) when the camera would not stream in the format.
    bool streaming() const { return streaming_; }
    int samples() const;
    // Whether the newest sample is what the bridge makes of the ring's newest frame (which must
    // have the asked size), or of the placeholder.
    bool showsTheRing(const std::string& ringName) const;
    bool showsThePlaceholder() const;
    // The ring and the samples, for a message.
    std::string comparison(const std::string& ringName) const;

    void deliverSample(const std::uint8_t* data, std::size_t length) override;

  private:
    bool shows(const std::vector<std::uint8_t>& ringPixels, FrameSize ringSize) const;

    CameraFormatCase format_;
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> newest_;
    int samples_ = 0;
    DirectShowBackend backend_;
    std::unique_ptr<DeviceConnection> connection_;
    bool streaming_ = false;
};

}  // namespace velvix::virtual_camera::testing
