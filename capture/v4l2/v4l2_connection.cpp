#include "v4l2_connection.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stop_token>
#include <thread>

#include "layout_conversions.hpp"
#include "media_types.hpp"
#include "velvix/base/picture_rows.hpp"
#include "velvix/platform/log.hpp"

namespace velvix::v4l2 {
namespace {

constexpr std::uint32_t kBufferCount = 4;
constexpr int kPollMilliseconds = 100;

struct MappedBuffer {
    void* start = MAP_FAILED;
    std::size_t length = 0;
};

class V4l2Connection final : public DeviceConnection {
  public:
    V4l2Connection(std::string path, std::unique_ptr<DeviceIo> device)
        : path_(std::move(path)), device_(std::move(device)) {}
    ~V4l2Connection() override { stopStreaming(); }

    std::optional<VideoFormat> currentFormat() override { return readFormat(*device_); }
    bool setFormat(const VideoFormat& format) override { return writeFormat(*device_, format); }
    std::vector<SizeCapability> capabilities() override { return listCapabilities(*device_); }
    std::vector<CameraMode> modes(const VideoFormat& asked) override {
        return listModes(*device_, asked);
    }

    bool startStreaming(MediaSubtype delivered, SampleSink& sink) override {
        const auto current = currentFormat();
        if (!current || thread_.joinable()) {
            return false;
        }
        // Grey, NV12 and MJPG are delivered as the camera sends them, everything else as RGB24:
        // YUYV converted here, other formats by libv4l2.
        VideoFormat streamed = *current;
        if (!convertsItself(current->subtype, delivered)) {
            streamed.subtype = delivered;
        }
        if (!writeFormat(*device_, streamed) || !mapBuffers()) {
            releaseBuffers();
            return false;
        }
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (device_->control(VIDIOC_STREAMON, &type) != 0) {
            releaseBuffers();
            return false;
        }
        readStride();
        thread_ = std::jthread([this, delivered, streamed, &sink](std::stop_token stop) {
            stream(stop, delivered, streamed, sink);
        });
        return true;
    }

    void stopStreaming() override {
        if (!thread_.joinable()) {
            return;
        }
        thread_.request_stop();
        thread_.join();
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        device_->control(VIDIOC_STREAMOFF, &type);
        releaseBuffers();
    }

  private:
    static bool convertsItself(MediaSubtype sent, MediaSubtype delivered) {
        return delivered == MediaSubtype::rgb24 && sent == MediaSubtype::yuy2;
    }

    bool mapBuffers() {
        v4l2_requestbuffers request{};
        request.count = kBufferCount;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (device_->control(VIDIOC_REQBUFS, &request) != 0 || request.count == 0) {
            return false;
        }
        for (std::uint32_t i = 0; i < request.count; ++i) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = i;
            if (device_->control(VIDIOC_QUERYBUF, &buffer) != 0) {
                return false;
            }
            MappedBuffer mapped;
            mapped.length = buffer.length;
            mapped.start = device_->map(buffer.length, buffer.m.offset);
            if (mapped.start == MAP_FAILED) {
                return false;
            }
            buffers_.push_back(mapped);
            if (device_->control(VIDIOC_QBUF, &buffer) != 0) {
                return false;
            }
        }
        return true;
    }

    void releaseBuffers() {
        for (const auto& buffer : buffers_) {
            device_->unmap(buffer.start, buffer.length);
        }
        buffers_.clear();
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        device_->control(VIDIOC_REQBUFS, &request);
    }

    void readStride() {
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        stride_ = 0;
        if (device_->control(VIDIOC_G_FMT, &format) == 0) {
            stride_ = format.fmt.pix.bytesperline;
        }
    }

    // The delivered sample of one filled buffer; false when it holds no whole frame.
    bool makeSample(const std::uint8_t* data, std::size_t used, MediaSubtype delivered,
                    const VideoFormat& format, std::vector<std::uint8_t>& sample) const {
        if (format.subtype == MediaSubtype::yuy2) {
            const std::size_t rowBytes = static_cast<std::size_t>(format.width) * 2;
            const std::size_t stride = std::max<std::size_t>(stride_, rowBytes);
            if (used < stride * static_cast<std::size_t>(format.height - 1) + rowBytes) {
                return false;
            }
            sample.resize(static_cast<std::size_t>(format.width) *
                          static_cast<std::size_t>(format.height) * 3);
            rgb24FromYuyvBottomUp(data, stride, format.width, format.height, sample.data());
            return true;
        }
        return packSample(data, used, delivered, format, sample);
    }

    // Packs the rows of one buffer tightly; RGB24 rows are turned to bottom row first as the
    // capture layer expects.
    bool packSample(const std::uint8_t* data, std::size_t used, MediaSubtype delivered,
                    const VideoFormat& format, std::vector<std::uint8_t>& sample) const {
        const auto bytes = deliveredFrameBytes(delivered, format.width, format.height);
        if (!bytes) {
            return false;
        }
        const auto height = static_cast<std::size_t>(format.height);
        const std::size_t rowBytes = *bytes / height;
        const std::size_t stride = std::max<std::size_t>(stride_, rowBytes);
        if (delivered == MediaSubtype::nv12) {
            if (used < *bytes) {
                return false;
            }
            sample.assign(data, data + *bytes);
            return true;
        }
        if (used < stride * (height - 1) + rowBytes) {
            return false;
        }
        sample.resize(*bytes);
        // The rows as pictures of 1-byte pixels.
        const FrameSize rowsSize{static_cast<int>(rowBytes), format.height};
        const ConstPicture rows{data, rowsSize.width, rowsSize.height,
                                static_cast<std::ptrdiff_t>(stride)};
        copyRows(delivered == MediaSubtype::rgb24 ? upsideDown(rows) : rows,
                 packedPicture(sample.data(), rowsSize, 1), 1);
        return true;
    }

    void stream(const std::stop_token& stop, MediaSubtype delivered, VideoFormat format,
                SampleSink& sink) {
        std::vector<std::uint8_t> sample;
        while (!stop.stop_requested()) {
            const int ready = device_->waitForFrame(kPollMilliseconds);
            if (ready < 0) {
                break;
            }
            if (ready == 0) {
                continue;
            }
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (device_->control(VIDIOC_DQBUF, &buffer) != 0) {
                if (errno == EAGAIN) {
                    continue;
                }
                break;
            }
            const auto* data = static_cast<const std::uint8_t*>(buffers_[buffer.index].start);
            if (delivered == MediaSubtype::mjpg) {
                sink.deliverSample(data, buffer.bytesused);
            } else if (makeSample(data, buffer.bytesused, delivered, format, sample)) {
                sink.deliverSample(sample.data(), sample.size());
            }
            if (device_->control(VIDIOC_QBUF, &buffer) != 0) {
                break;
            }
        }
        if (!stop.stop_requested()) {
            platform::logLine(
                platform::LogCategory::capture, platform::LogSeverity::warn,
                "camera " + path_ + ": the stream ended (" + std::strerror(errno) + ")");
        }
    }

    std::string path_;
    std::unique_ptr<DeviceIo> device_;
    std::vector<MappedBuffer> buffers_;
    std::uint32_t stride_ = 0;
    std::jthread thread_;
};

}  // namespace

std::unique_ptr<DeviceConnection> connectCamera(std::string name,
                                                std::unique_ptr<DeviceIo> device) {
    return std::make_unique<V4l2Connection>(std::move(name), std::move(device));
}

}  // namespace velvix::v4l2
