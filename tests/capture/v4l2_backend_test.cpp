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
#include <span>

#include "camera_lists.hpp"
#include "photo_frames.hpp"
#include "v4l2_connection.hpp"
#include "v4l2_formats.hpp"
#include "velvix/capture/capture_manager.hpp"
#include "velvix/platform/log.hpp"

namespace velvix {
namespace {

// The buffers of a streaming driver and the frames the test sends through them.
struct FakeStream {
    static constexpr std::size_t kBufferBytes = 1 << 21;
    static constexpr std::int64_t kOffsetStep = 1 << 22;

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

// A driver with a fixed list of formats, each with its sizes and their frame intervals. It adjusts
// a requested size to the first one it has, as drivers do, and streams the frames sent to it.
class FakeDriver final : public v4l2::DeviceIo {
  public:
    struct Size {
        std::uint32_t width;
        std::uint32_t height;
        std::vector<v4l2_fract> intervals;
    };
    struct Format {
        std::uint32_t pixelFormat;
        std::uint32_t flags;
        std::vector<Size> sizes;
    };

    int control(unsigned long request, void* argument) override {
        const std::scoped_lock lock(stream->mutex);
        switch (request) {
            case VIDIOC_ENUM_FMT: {
                auto& description = *static_cast<v4l2_fmtdesc*>(argument);
                if (description.index >= formats.size()) {
                    return fail();
                }
                description.pixelformat = formats[description.index].pixelFormat;
                description.flags = formats[description.index].flags;
                return 0;
            }
            case VIDIOC_ENUM_FRAMESIZES: {
                auto& size = *static_cast<v4l2_frmsizeenum*>(argument);
                const Format* format = find(size.pixel_format);
                if (format == nullptr || size.index >= format->sizes.size()) {
                    return fail();
                }
                size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
                size.discrete = {format->sizes[size.index].width, format->sizes[size.index].height};
                return 0;
            }
            case VIDIOC_ENUM_FRAMEINTERVALS: {
                auto& entry = *static_cast<v4l2_frmivalenum*>(argument);
                const Size* size = find(entry.pixel_format, entry.width, entry.height);
                if (size == nullptr || entry.index >= size->intervals.size()) {
                    return fail();
                }
                entry.type = V4L2_FRMIVAL_TYPE_DISCRETE;
                entry.discrete = size->intervals[entry.index];
                return 0;
            }
            case VIDIOC_G_FMT:
                static_cast<v4l2_format*>(argument)->fmt.pix = current;
                return 0;
            case VIDIOC_S_FMT:
                return setFormat(static_cast<v4l2_format*>(argument)->fmt.pix);
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
                    static_cast<std::uint32_t>(buffer.index * FakeStream::kOffsetStep);
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
        const auto index = static_cast<std::size_t>(offset / FakeStream::kOffsetStep);
        if (index >= stream->buffers.size() || length > FakeStream::kBufferBytes) {
            return MAP_FAILED;
        }
        return stream->buffers[index].data();
    }
    void unmap(void* /*start*/, std::size_t /*length*/) override {}

    int waitForFrame(int milliseconds) override {
        std::unique_lock lock(stream->mutex);
        return stream->arrived.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                        [&] { return !stream->frames.empty(); });
    }

    std::vector<Format> formats;
    v4l2_pix_format current{};
    v4l2_fract interval{1, 30};
    std::shared_ptr<FakeStream> stream = std::make_shared<FakeStream>();

  private:
    const Format* find(std::uint32_t pixelFormat) const {
        const auto found = std::find_if(formats.begin(), formats.end(), [&](const Format& f) {
            return f.pixelFormat == pixelFormat;
        });
        return found == formats.end() ? nullptr : &*found;
    }

    const Size* find(std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height) const {
        const Format* format = find(pixelFormat);
        const auto sizes = format != nullptr ? std::span(format->sizes) : std::span<const Size>();
        const auto found = std::find_if(sizes.begin(), sizes.end(), [&](const Size& size) {
            return size.width == width && size.height == height;
        });
        return found == sizes.end() ? nullptr : &*found;
    }

    int setFormat(v4l2_pix_format& pix) {
        const Format* format = find(pix.pixelformat);
        format = format != nullptr ? format : &formats.front();
        if (find(format->pixelFormat, pix.width, pix.height) == nullptr) {
            pix.width = format->sizes.front().width;
            pix.height = format->sizes.front().height;
        }
        pix.pixelformat = format->pixelFormat;
        current = pix;
        return 0;
    }
};

// A driver that lists what a real camera (YUYV and MJPG) lists, and, as libv4l2 does, the BGR24 it
// could make from it, marked as made.
FakeDriver realCamera(const std::string& camera) {
    FakeDriver driver;
    for (const CameraMode& mode : testing::cameraModes(camera)) {
        const std::uint32_t pixelFormat =
            mode.subtype == MediaSubtype::mjpg ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
        if (driver.formats.empty() || driver.formats.back().pixelFormat != pixelFormat) {
            driver.formats.push_back({pixelFormat, 0, {}});
        }
        std::vector<v4l2_fract> intervals;
        for (const int period : mode.framePeriods) {
            intervals.push_back({static_cast<std::uint32_t>(period), 10'000'000});
        }
        driver.formats.back().sizes.push_back({static_cast<std::uint32_t>(mode.width),
                                               static_cast<std::uint32_t>(mode.height), intervals});
    }
    driver.formats.push_back(
        {V4L2_PIX_FMT_BGR24, V4L2_FMT_FLAG_EMULATED, {{1280, 720, {{1, 30}}}}});
    driver.current = {640, 480, driver.formats.front().pixelFormat};
    return driver;
}

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
    FakeDriver driver = realCamera("logitech_c310");
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
