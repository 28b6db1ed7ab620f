#pragma once

#include <memory>

#include "velvix/capture/capture_backend.hpp"

namespace velvix {

class VideoSources;

// The cameras of a Windows system through DirectShow: the video input devices that the system
// device enumerator lists, named by their friendly names. Each opened device runs a filter
// graph of its source, a sample grabber whose callback receives every frame on DirectShow's
// streaming thread, and a null renderer. COM is set up per thread as the thread starts using
// the backend. Where OPENCV_DSHOW_SAVEGRAPH_FILENAME is set, every started graph is saved to
// that file.
class DirectShowBackend final : public CaptureBackend {
  public:
    DirectShowBackend();
    // Devices from other sources than the system's enumerator (video files, in tests).
    explicit DirectShowBackend(std::shared_ptr<VideoSources> sources);
    ~DirectShowBackend() override;

    std::vector<std::u16string> deviceNames() override;
    std::unique_ptr<DeviceConnection> connect(int index) override;
    void beginThreadUse() override;
    void endThreadUse() override;

  private:
    std::shared_ptr<VideoSources> sources_;
};

}  // namespace velvix
