#include "fake_backend.hpp"

#include "media_types.hpp"

namespace velvix::testing {

class FakeConnection final : public DeviceConnection {
  public:
    FakeConnection(FakeBackend& backend, int index) : backend_(backend), index_(index) {}

    std::optional<VideoFormat> currentFormat() override { return device().current; }

    bool setFormat(const VideoFormat& format) override {
        backend_.note("set " + std::to_string(index_) + " " + std::to_string(format.width) + "x" +
                      std::to_string(format.height) + " " +
                      std::string(subtypeName(format.subtype)) +
                      (format.framePeriod == kNoFramePeriod
                           ? ""
                           : " every " + std::to_string(format.framePeriod)));
        if (device().accepts && !device().accepts(format)) {
            return false;
        }
        device().current = format;
        return true;
    }

    std::vector<SizeCapability> capabilities() override { return device().capabilities; }
    std::vector<CameraMode> modes(const VideoFormat& /*asked*/) override { return device().modes; }

    void routeInput(int connectorType) override {
        backend_.note("route " + std::to_string(index_) + " " + std::to_string(connectorType));
    }

    bool startStreaming(MediaSubtype delivered, SampleSink& sink) override {
        backend_.note("start " + std::to_string(index_) + " " +
                      std::string(subtypeName(delivered)));
        if (device().startFails) {
            return false;
        }
        std::lock_guard guard(backend_.mutex_);
        backend_.sinks_[index_] = &sink;
        return true;
    }

    void stopStreaming() override {
        backend_.note("stop " + std::to_string(index_));
        std::lock_guard guard(backend_.mutex_);
        backend_.sinks_.erase(index_);
    }

  private:
    FakeDevice& device() { return backend_.devices[static_cast<std::size_t>(index_)]; }

    FakeBackend& backend_;
    int index_;
};

std::vector<std::u16string> FakeBackend::deviceNames() {
    std::vector<std::u16string> names;
    for (const auto& device : devices) {
        names.push_back(device.name);
    }
    return names;
}

std::unique_ptr<DeviceConnection> FakeBackend::connect(int index) {
    {
        std::lock_guard guard(mutex_);
        ++connects_[index];
    }
    return std::make_unique<FakeConnection>(*this, index);
}

void FakeBackend::beginThreadUse() {
    std::lock_guard guard(mutex_);
    ++begins[std::this_thread::get_id()];
}

void FakeBackend::endThreadUse() {
    std::lock_guard guard(mutex_);
    ++ends[std::this_thread::get_id()];
}

SampleSink* FakeBackend::sinkOf(int index) {
    std::lock_guard guard(mutex_);
    const auto found = sinks_.find(index);
    return found == sinks_.end() ? nullptr : found->second;
}

int FakeBackend::connectsOf(int index) {
    std::lock_guard guard(mutex_);
    return connects_[index];
}

std::vector<std::string> FakeBackend::logLines() {
    std::lock_guard guard(mutex_);
    return log_;
}

void FakeBackend::note(std::string line) {
    std::lock_guard guard(mutex_);
    log_.push_back(std::move(line));
}

}  // namespace velvix::testing
