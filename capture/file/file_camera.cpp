#include "velvix/capture/file_camera.hpp"

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

#include "file_frames.hpp"
#include "velvix/platform/log.hpp"

namespace velvix {
namespace {

using Clock = std::chrono::steady_clock;

// Frames go out at this period unless one is asked for.
constexpr int kDefaultFramePeriod = 333333;

std::u16string widened(const std::string& bytes) {
    std::u16string wide;
    for (const char byte : bytes) {
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(byte)));
    }
    return wide;
}

Result<> applyOption(FileCameraConfig& config, const std::string& option) {
    if (option == "format=nv12") {
        config.delivered = MediaSubtype::nv12;
        return {};
    }
    if (option == "format=mjpg") {
        config.delivered = MediaSubtype::mjpg;
        return {};
    }
    if (option == "format=rgb24") {
        config.delivered = MediaSubtype::rgb24;
        return {};
    }
    if (option == "fit=cover" || option == "fit=whole") {
        config.cover = option == "fit=cover";
        return {};
    }
    constexpr std::string_view kFreezeAfter = "freeze-after=";
    if (option.starts_with(kFreezeAfter)) {
        int frames = 0;
        const char* first = option.data() + kFreezeAfter.size();
        const char* last = option.data() + option.size();
        const auto [end, error] = std::from_chars(first, last, frames);
        if (error == std::errc{} && end == last && first != last && frames >= 0) {
            config.freezeAfter = frames;
            return {};
        }
    }
    return Failure{"unknown test camera option \"" + option + "\""};
}

// Delivers the file's frames at the frame period on a thread of its own. The schedule starts
// half a period after streaming starts: a stream is started from within a tick of the frame
// worker, so its frames fall between the worker's polls instead of racing them.
class FileConnection final : public DeviceConnection {
  public:
    FileConnection(FileCameraConfig config, std::unique_ptr<file_camera::FrameSource> source)
        : config_(std::move(config)), source_(std::move(source)) {
        format_ = {source_->width(), source_->height(), offered(), source_->framePeriod()};
    }

    ~FileConnection() override { stopStreaming(); }

    std::optional<VideoFormat> currentFormat() override { return format_; }

    bool setFormat(const VideoFormat& format) override {
        if (format.width != format_.width || format.height != format_.height ||
            format.subtype != offered()) {
            return false;
        }
        format_ = format;
        return true;
    }

    std::vector<SizeCapability> capabilities() override {
        return {{offered(), format_.width, format_.width, 1, format_.height, format_.height, 1}};
    }

    bool startStreaming(MediaSubtype delivered, SampleSink& sink) override {
        if (delivered != offered() || thread_.joinable()) {
            return false;
        }
        thread_ = std::jthread([this, &sink](std::stop_token stop) { stream(stop, sink); });
        return true;
    }

    void stopStreaming() override {
        if (thread_.joinable()) {
            thread_.request_stop();
            thread_.join();
        }
    }

  private:
    MediaSubtype offered() const { return config_.delivered; }

    Clock::duration period() const {
        const int units = format_.framePeriod > 0 ? format_.framePeriod : kDefaultFramePeriod;
        return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(units * 100LL));
    }

    bool frozenAfter(int delivered) const {
        return config_.freezeAfter && delivered >= *config_.freezeAfter;
    }

    void stream(const std::stop_token& stop, SampleSink& sink) {
        std::mutex mutex;
        std::condition_variable_any wake;
        const Clock::duration step = period();
        Clock::time_point next = Clock::now() + step / 2;
        int delivered = 0;
        std::unique_lock lock(mutex);
        while (true) {
            wake.wait_until(lock, stop, next, [] { return false; });
            if (stop.stop_requested()) {
                return;
            }
            next += step;
            if (next < Clock::now()) {
                next = Clock::now() + step;  // after a stall, no burst of late frames
            }
            if (frozenAfter(delivered)) {
                continue;
            }
            const std::vector<std::uint8_t>* sample = source_->nextFrame();
            if (sample == nullptr) {
                platform::logLine(
                    platform::LogCategory::capture, platform::LogSeverity::warn,
                    "test camera \"" + config_.path + "\": the file cannot be read any more");
                return;
            }
            sink.deliverSample(sample->data(), sample->size());
            ++delivered;
        }
    }

    FileCameraConfig config_;
    std::unique_ptr<file_camera::FrameSource> source_;
    VideoFormat format_;
    std::jthread thread_;
};

}  // namespace

std::string FileCameraConfig::deviceName() const {
    const auto slash = path.find_last_of('/');
    return kTestCameraPrefix + (slash == std::string::npos ? path : path.substr(slash + 1));
}

Result<FileCameraConfig> parseFileCamera(const std::string& pathWithOptions) {
    FileCameraConfig config;
    const auto folderEnd = pathWithOptions.find_last_of('/');
    const auto question =
        pathWithOptions.find('?', folderEnd == std::string::npos ? 0 : folderEnd + 1);
    config.path = pathWithOptions.substr(0, question);
    if (config.path.empty() || config.path.ends_with('/')) {
        return Failure{"a test camera needs a file: \"" + pathWithOptions + "\""};
    }
    if (question == std::string::npos) {
        return config;
    }
    std::size_t start = question + 1;
    while (start <= pathWithOptions.size()) {
        const auto end = std::min(pathWithOptions.find('&', start), pathWithOptions.size());
        if (auto applied = applyOption(config, pathWithOptions.substr(start, end - start));
            !applied) {
            return Failure{applied.error()};
        }
        start = end + 1;
    }
    return config;
}

FileCameraBackend::FileCameraBackend(std::vector<FileCameraConfig> cameras)
    : cameras_(std::move(cameras)), saidErrors_(cameras_.size()) {}

std::vector<std::u16string> FileCameraBackend::deviceNames() {
    std::vector<std::u16string> names;
    for (const auto& camera : cameras_) {
        names.push_back(widened(camera.deviceName()));
    }
    return names;
}

std::unique_ptr<DeviceConnection> FileCameraBackend::connect(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= cameras_.size()) {
        return nullptr;
    }
    const FileCameraConfig& config = cameras_[static_cast<std::size_t>(index)];
    auto opened = file_camera::openFrameSource(
        config.path, config.delivered,
        config.cover ? file_camera::StillFit::cover : file_camera::StillFit::whole);
    if (!opened) {
        const std::lock_guard guard(mutex_);
        std::string& said = saidErrors_[static_cast<std::size_t>(index)];
        if (said != opened.error()) {
            platform::logLine(platform::LogCategory::capture, platform::LogSeverity::warn,
                              "test camera \"" + config.path + "\": " + opened.error());
            said = opened.error();
        }
        return nullptr;
    }
    return std::make_unique<FileConnection>(config, std::move(*opened));
}

}  // namespace velvix
