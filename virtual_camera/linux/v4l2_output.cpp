#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "velvix/virtual_camera/linux_devices.hpp"

namespace velvix::virtual_camera {
namespace {

constexpr char kLoopbackDriver[] = "v4l2 loopback";

int ioctlRetrying(int fd, unsigned long request, void* argument) {
    int result = 0;
    do {
        result = ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

std::string fromBytes(const __u8* bytes, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(bytes),
                       strnlen(reinterpret_cast<const char*>(bytes), size));
}

// A capability check that explains what it found.
Result<> checkLoopback(int fd, const std::string& path) {
    v4l2_capability capability{};
    if (ioctlRetrying(fd, VIDIOC_QUERYCAP, &capability) < 0) {
        return Failure{path + " is not a video device"};
    }
    const std::string driver = fromBytes(capability.driver, sizeof capability.driver);
    if (driver != kLoopbackDriver) {
        return Failure{path + " is not a v4l2loopback device (its driver is \"" + driver + "\")"};
    }
    const __u32 capabilities = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                                   ? capability.device_caps
                                   : capability.capabilities;
    if ((capabilities & V4L2_CAP_VIDEO_OUTPUT) == 0) {
        return Failure{path + " does not accept video output (another program may be feeding it)"};
    }
    return {};
}

__u32 pixelFormatOf(OutputFormat format) {
    switch (format) {
        case OutputFormat::yuyv:
            return V4L2_PIX_FMT_YUYV;
        case OutputFormat::rgb24:
            return V4L2_PIX_FMT_RGB24;
        case OutputFormat::i420:
            return V4L2_PIX_FMT_YUV420;
        case OutputFormat::bgrx:
            return V4L2_PIX_FMT_XBGR32;  // blue, green, red, padding in memory
    }
    return 0;
}

Result<> applyFormat(int fd, const std::string& path, FrameSize size, OutputFormat format) {
    v4l2_format wanted{};
    wanted.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    wanted.fmt.pix.width = static_cast<__u32>(size.width);
    wanted.fmt.pix.height = static_cast<__u32>(size.height);
    wanted.fmt.pix.pixelformat = pixelFormatOf(format);
    wanted.fmt.pix.field = V4L2_FIELD_NONE;
    wanted.fmt.pix.bytesperline = static_cast<__u32>(outputStride(size.width, format));
    wanted.fmt.pix.sizeimage = static_cast<__u32>(outputFrameBytes(size, format));
    wanted.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    const v4l2_format asked = wanted;
    if (ioctlRetrying(fd, VIDIOC_S_FMT, &wanted) < 0) {
        return Failure{path + " refused the format: " + std::strerror(errno)};
    }
    if (wanted.fmt.pix.width != asked.fmt.pix.width ||
        wanted.fmt.pix.height != asked.fmt.pix.height ||
        wanted.fmt.pix.pixelformat != asked.fmt.pix.pixelformat ||
        wanted.fmt.pix.sizeimage != asked.fmt.pix.sizeimage) {
        return Failure{path + " offers " + std::to_string(wanted.fmt.pix.width) + " x " +
                       std::to_string(wanted.fmt.pix.height) + " instead of the format asked for"};
    }
    return {};
}

}  // namespace

DescriptorSink::~DescriptorSink() {
    ::close(fd_);
}

bool DescriptorSink::writeFrame(const std::uint8_t* data, std::size_t bytes) {
    while (bytes > 0) {
        const ssize_t written = ::write(fd_, data, bytes);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        bytes -= static_cast<std::size_t>(written);
    }
    return true;
}

OpenedOutput openV4l2Output(const std::string& path, FrameSize size, OutputFormat format) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return Failure{"cannot open " + path + ": " + std::strerror(errno)};
    }
    auto sink = std::make_unique<DescriptorSink>(fd);
    if (auto loopback = checkLoopback(fd, path); !loopback) {
        return Failure{loopback.error()};
    }
    if (auto formatted = applyFormat(fd, path, size, format); !formatted) {
        return Failure{formatted.error()};
    }
    return std::unique_ptr<FrameSink>(std::move(sink));
}

}  // namespace velvix::virtual_camera
