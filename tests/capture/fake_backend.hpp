#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "velvix/capture/capture_backend.hpp"

namespace velvix::testing {

struct FakeDevice {
    explicit FakeDevice(std::u16string deviceName,
                        VideoFormat currentFormat = {640, 480, MediaSubtype::rgb24})
        : name(std::move(deviceName)), current(currentFormat) {}

    std::u16string name;
    VideoFormat current;
    // Which formats setFormat takes; all of them when empty.
    std::function<bool(const VideoFormat&)> accepts;
    std::vector<SizeCapability> capabilities;
    std::vector<CameraMode> modes;
    bool startFails = false;
};

// A camera system the test scripts. Every configuration call is logged as one line, e.g.
// "route 1 2", "set 1 1280x720 RGB24", "start 1 RGB24", "stop 1".
class FakeBackend final : public CaptureBackend {
  public:
    std::vector<std::u16string> deviceNames() override;
    std::unique_ptr<DeviceConnection> connect(int index) override;
    void beginThreadUse() override;
    void endThreadUse() override;

    // The sink of the stream that device `index` runs now, or null.
    SampleSink* sinkOf(int index);
    int connectsOf(int index);
    std::vector<std::string> logLines();
    std::map<std::thread::id, int> begins;
    std::map<std::thread::id, int> ends;

    std::vector<FakeDevice> devices;

  private:
    friend class FakeConnection;
    void note(std::string line);

    std::mutex mutex_;
    std::vector<std::string> log_;
    std::map<int, SampleSink*> sinks_;
    std::map<int, int> connects_;
};

}  // namespace velvix::testing
