#include "velvix/capture/v4l2_backend.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "camera_samples.hpp"
#include "v4l2_connection.hpp"
#include "v4l2_formats.hpp"
#include "velvix/capture/capture_manager.hpp"
#include "velvix/platform/log.hpp"

namespace velvix {
namespace {

// The buffers of a streaming driver and the frames the test sends through them.
struct FakeStream {
    static constexpr std::size_t kBufferBytes = 1 << 21;

    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::vector<std::uint8_t>> frames;
    std::vector<std::vector<std::uint8_t>> buffers;
    std::deque<std::uint32_t> queued;
    bool streaming = false;

    void send(std::vector<std::uint8_t> frame) {
        const std::scoped_lock lock(mutex);
        frames.push_back(std::move(frame));
        arrived.notify_all();
    }

    // The next frame sent, in the buffer queued longest ago.
    int take(v4l2_buffer& buffer) {
        if (frames.empty() || queued.empty()) {
            errno = EAGAIN;
            return -1;
        }
        buffer.index = queued.front();
        queued.pop_front();
        std::copy(frames.front().begin(), frames.front().end(), buffers[buffer.index].begin());
        buffer.bytesused = static_cast<std::uint32_t>(frames.front().size());
        frames.pop_front();
        return 0;
    }
};

int fail() {
    errno = EINVAL;
    return -1;
}

// The fourcc of the formats the test's cameras list; BGR24 is what libv4l2 would make of them.
std::uint32_t fourccOf(MediaSubtype subtype) {
    return subtype == MediaSubtype::mjpg   ? V4L2_PIX_FMT_MJPEG
           : subtype == MediaSubtype::yuy2 ? V4L2_PIX_FMT_YUYV
                                           : V4L2_PIX_FMT_BGR24;
}

// A driver that lists what a real camera lists, each size with its frame intervals, and, as
// libv4l2 does, a BGR24 it could make from it, marked as made. It adjusts a requested size to
// the first one of the format, as drivers do, and streams the frames sent to it.
class FakeDriver final : public v4l2::DeviceIo {
  public:
    explicit FakeDriver(const std::string& camera) : modes(testing::cameraModes(camera)) {
        modes.push_back({MediaSubtype::rgb24, 1280, 720, {333333}});
        current.width = 640;
        current.height = 480;
        current.pixelformat = fourccOf(modes.front().subtype);
    }

    int control(unsigned long request, void* argument) override {
        const std::scoped_lock lock(stream->mutex);
        switch (request) {
            case VIDIOC_ENUM_FMT: {
                auto& description = *static_cast<v4l2_fmtdesc*>(argument);
                std::vector<std::uint32_t> formats;
                for (const CameraMode& mode : modes) {
                    if (formats.empty() || formats.back() != fourccOf(mode.subtype)) {
                        formats.push_back(fourccOf(mode.subtype));
                    }
                }
                if (description.index >= formats.size()) {
                    return fail();
                }
                description.pixelformat = formats[description.index];
                description.flags =
                    formats[description.index] == V4L2_PIX_FMT_BGR24 ? V4L2_FMT_FLAG_EMULATED : 0;
                return 0;
            }
            case VIDIOC_ENUM_FRAMESIZES: {
                auto& size = *static_cast<v4l2_frmsizeenum*>(argument);
                const auto sizes = sizesOf(size.pixel_format);
                if (size.index >= sizes.size()) {
                    return fail();
                }
                size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
                size.discrete = {static_cast<std::uint32_t>(sizes[size.index]->width),
                                 static_cast<std::uint32_t>(sizes[size.index]->height)};
                return 0;
            }
            case VIDIOC_ENUM_FRAMEINTERVALS: {
                auto& entry = *static_cast<v4l2_frmivalenum*>(argument);
                const CameraMode* mode = find(entry.pixel_format, entry.width, entry.height);
                if (mode == nullptr || entry.index >= mode->framePeriods.size()) {
                    return fail();
                }
                entry.type = V4L2_FRMIVAL_TYPE_DISCRETE;
                const auto period = static_cast<std::uint32_t>(mode->framePeriods[entry.index]);
                entry.discrete = {period, 10'000'000};
                return 0;
            }
            case VIDIOC_G_FMT:
                static_cast<v4l2_format*>(argument)->fmt.pix = current;
                return 0;
            case VIDIOC_S_FMT: {
                // An unknown format is the first one; a size it lacks, its first size.
                v4l2_pix_format& pix = static_cast<v4l2_format*>(argument)->fmt.pix;
                auto sizes = sizesOf(pix.pixelformat);
                sizes = sizes.empty() ? sizesOf(fourccOf(modes.front().subtype)) : sizes;
                pix.pixelformat = fourccOf(sizes.front()->subtype);
                if (find(pix.pixelformat, pix.width, pix.height) == nullptr) {
                    pix.width = static_cast<std::uint32_t>(sizes.front()->width);
                    pix.height = static_cast<std::uint32_t>(sizes.front()->height);
                }
                current = pix;
                return 0;
            }
            case VIDIOC_G_PARM:
                static_cast<v4l2_streamparm*>(argument)->parm.capture.timeperframe = interval;
                return 0;
            case VIDIOC_S_PARM:
                interval = static_cast<v4l2_streamparm*>(argument)->parm.capture.timeperframe;
                return 0;
            case VIDIOC_REQBUFS:
                stream->buffers.assign(static_cast<v4l2_requestbuffers*>(argument)->count,
                                       std::vector<std::uint8_t>(FakeStream::kBufferBytes));
                stream->queued.clear();
                return 0;
            case VIDIOC_QUERYBUF: {
                auto& buffer = *static_cast<v4l2_buffer*>(argument);
                buffer.length = FakeStream::kBufferBytes;
                buffer.m.offset =
                    static_cast<std::uint32_t>(buffer.index * FakeStream::kBufferBytes);
                return buffer.index < stream->buffers.size() ? 0 : fail();
            }
            case VIDIOC_QBUF:
                stream->queued.push_back(static_cast<v4l2_buffer*>(argument)->index);
                return 0;
            case VIDIOC_DQBUF:
                return stream->take(*static_cast<v4l2_buffer*>(argument));
            case VIDIOC_STREAMON:
            case VIDIOC_STREAMOFF:
                stream->streaming = request == VIDIOC_STREAMON;
                return 0;
        }
        errno = ENOTTY;
        return -1;
    }

    void* map(std::size_t length, std::int64_t offset) override {
        const auto index =
            static_cast<std::size_t>(offset / static_cast<std::int64_t>(FakeStream::kBufferBytes));
        return length > FakeStream::kBufferBytes ? MAP_FAILED : stream->buffers.at(index).data();
    }
    void unmap(void* /*start*/, std::size_t /*length*/) override {}

    int waitForFrame(int milliseconds) override {
        std::unique_lock lock(stream->mutex);
        return stream->arrived.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                        [&] { return !stream->frames.empty(); });
    }

    std::vector<CameraMode> modes;
    v4l2_pix_format current{};
    v4l2_fract interval{1, 30};
    std::shared_ptr<FakeStream> stream = std::make_shared<FakeStream>();

  private:
    std::vector<const CameraMode*> sizesOf(std::uint32_t pixelFormat) const {
        std::vector<const CameraMode*> sizes;
        for (const CameraMode& mode : modes) {
            if (fourccOf(mode.subtype) == pixelFormat) {
                sizes.push_back(&mode);
            }
        }
        return sizes;
    }

    const CameraMode* find(std::uint32_t pixelFormat, std::uint32_t width,
                           std::uint32_t height) const {
        for (const CameraMode* mode : sizesOf(pixelFormat)) {
            if (mode->width == static_cast<int>(width) &&
                mode->height == static_cast<int>(height)) {
                return mode;
            }
        }
        return nullptr;
    }
};

// One camera, reached through a driver the test holds the stream of.
class OneCamera final : public CaptureBackend {
  public:
    explicit OneCamera(FakeDriver driver) : driver_(std::move(driver)) {}
    std::vector<std::u16string> deviceNames() override { return {u"Fake camera"}; }
    std::unique_ptr<DeviceConnection> connect(int /*index*/) override {
        return v4l2::connectCamera("fake camera", std::make_unique<FakeDriver>(driver_));
    }

  private:
    FakeDriver driver_;
};

// A webcam whose 1280x720 comes at 30 fps only as MJPG (and as BGR24 that libv4l2 would make):
// it is set to MJPG, streams it, and its frames reach the fetch decoded; a damaged frame is
// dropped with a line saying so, never shown. A size the driver adjusts is a refusal.
TEST(V4l2Backend, StreamsTheChosenMjpgAndFetchesItDecoded) {
    FakeDriver driver("logitech_c310");
    EXPECT_FALSE(v4l2::writeFormat(driver, {1000, 600, MediaSubtype::yuy2}));
    const auto stream = driver.stream;
    CaptureManager manager({std::make_shared<OneCamera>(driver)});
    manager.setFramePeriod(0, 333333);
    manager.setAskSize(0, 1280, 720, MediaSubtype::rgb24);
    ASSERT_TRUE(manager.openDevice(0));
    EXPECT_EQ(manager.record(0).subtype, MediaSubtype::mjpg);

    const testing::Photo picture = testing::photoInFrame(1280, 720);
    const auto jpeg = testing::cameraJpeg(picture);
    ASSERT_FALSE(jpeg.empty());
    std::vector<std::uint8_t> frame(1280 * 720 * 4);
    stream->send(std::vector<std::uint8_t>(jpeg.begin(), jpeg.begin() + jpeg.size() / 2));
    platform::configureLogging(true);  // the dropped frame's line is a debug line
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(manager.fetchFrame(0, frame.data(), {1280, 720}));
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("camera 0: a damaged MJPG frame was dropped"), std::string::npos)
        << report;
    stream->send(jpeg);
    ASSERT_TRUE(manager.fetchFrame(0, frame.data(), {1280, 720}));
    EXPECT_LT(testing::meanDifference(frame.data(), picture), 3.0);
    manager.closeDevice(0);
    EXPECT_FALSE(stream->streaming);
}

}  // namespace
}  // namespace velvix
