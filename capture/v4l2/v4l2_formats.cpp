#include "v4l2_formats.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "media_types.hpp"
#include "velvix/pipeline/frame_size.hpp"

namespace velvix::v4l2 {
namespace {

constexpr std::int64_t kUnitsPerSecond = 10'000'000;

// Periods in 100 ns units; a fraction of seconds that does not fit counts as far away.
std::int64_t periodOf(const v4l2_fract& interval) {
    if (interval.denominator == 0) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return kUnitsPerSecond * interval.numerator / interval.denominator;
}

v4l2_fract fractionOf(int period) {
    return {static_cast<std::uint32_t>(period), static_cast<std::uint32_t>(kUnitsPerSecond)};
}

void addSizes(DeviceIo& device, std::uint32_t pixelFormat, MediaSubtype subtype,
              std::vector<SizeCapability>& capabilities) {
    v4l2_frmsizeenum size{};
    size.pixel_format = pixelFormat;
    for (size.index = 0; device.control(VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            const auto width = static_cast<int>(size.discrete.width);
            const auto height = static_cast<int>(size.discrete.height);
            capabilities.push_back({subtype, width, width, 1, height, height, 1});
            continue;
        }
        const auto& range = size.stepwise;
        capabilities.push_back(
            {subtype, static_cast<int>(range.min_width), static_cast<int>(range.max_width),
             static_cast<int>(range.step_width), static_cast<int>(range.min_height),
             static_cast<int>(range.max_height), static_cast<int>(range.step_height)});
        return;  // a stepwise or continuous range is the only entry
    }
}

int nearestInRange(int low, int high, int step, int wanted) {
    if (wanted <= low || step < 1) {
        return low;
    }
    if (wanted >= high) {
        return high;
    }
    const int below = low + (wanted - low) / step * step;
    return wanted - below <= step / 2 || below + step > high ? below : below + step;
}

// The periods offered at one size: every listed one, or for a range the one nearest the asked
// period and the fastest.
std::vector<int> framePeriods(DeviceIo& device, std::uint32_t pixelFormat, int width, int height,
                              int askedPeriod) {
    std::vector<int> periods;
    v4l2_frmivalenum interval{};
    interval.pixel_format = pixelFormat;
    interval.width = static_cast<std::uint32_t>(width);
    interval.height = static_cast<std::uint32_t>(height);
    for (interval.index = 0; device.control(VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0;
         ++interval.index) {
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            periods.push_back(static_cast<int>(periodOf(interval.discrete)));
            continue;
        }
        const auto fastest = static_cast<int>(periodOf(interval.stepwise.min));
        const auto slowest = static_cast<int>(periodOf(interval.stepwise.max));
        periods = {std::clamp(askedPeriod > 0 ? askedPeriod : fastest, fastest, slowest), fastest};
        break;
    }
    return periods;
}

std::vector<FrameSize> offeredSizes(DeviceIo& device, std::uint32_t pixelFormat,
                                    const VideoFormat& asked) {
    std::vector<FrameSize> sizes;
    v4l2_frmsizeenum size{};
    size.pixel_format = pixelFormat;
    for (size.index = 0; device.control(VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            sizes.push_back(
                {static_cast<int>(size.discrete.width), static_cast<int>(size.discrete.height)});
            continue;
        }
        const auto& range = size.stepwise;
        const bool continuous = size.type == V4L2_FRMSIZE_TYPE_CONTINUOUS;
        sizes.push_back(
            {nearestInRange(static_cast<int>(range.min_width), static_cast<int>(range.max_width),
                            continuous ? 1 : static_cast<int>(range.step_width), asked.width),
             nearestInRange(static_cast<int>(range.min_height), static_cast<int>(range.max_height),
                            continuous ? 1 : static_cast<int>(range.step_height), asked.height)});
        break;  // a range is the only entry
    }
    return sizes;
}

}  // namespace

std::vector<CameraMode> listModes(DeviceIo& device, const VideoFormat& asked) {
    std::vector<CameraMode> modes;
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (format.index = 0; device.control(VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
        const auto subtype = subtypeFor(format.pixelformat);
        // A format is only worth choosing when it can be asked for again as it is listed.
        if (!subtype || pixelFormatFor(*subtype) != format.pixelformat ||
            (format.flags & V4L2_FMT_FLAG_EMULATED) != 0) {
            continue;
        }
        for (const FrameSize size : offeredSizes(device, format.pixelformat, asked)) {
            modes.push_back({*subtype, size.width, size.height,
                             framePeriods(device, format.pixelformat, size.width, size.height,
                                          asked.framePeriod)});
        }
    }
    return modes;
}

std::optional<std::uint32_t> pixelFormatFor(MediaSubtype subtype) {
    switch (subtype) {
        case MediaSubtype::rgb24:
            return V4L2_PIX_FMT_BGR24;
        case MediaSubtype::rgb32:
            return V4L2_PIX_FMT_XBGR32;
        case MediaSubtype::rgb555:
            return V4L2_PIX_FMT_RGB555;
        case MediaSubtype::rgb565:
            return V4L2_PIX_FMT_RGB565;
        case MediaSubtype::yuy2:
        case MediaSubtype::yuyv:
            return V4L2_PIX_FMT_YUYV;
        case MediaSubtype::yvyu:
            return V4L2_PIX_FMT_YVYU;
        case MediaSubtype::iyuv:
        case MediaSubtype::i420:
            return V4L2_PIX_FMT_YUV420;
        case MediaSubtype::uyvy:
            return V4L2_PIX_FMT_UYVY;
        case MediaSubtype::yv12:
            return V4L2_PIX_FMT_YVU420;
        case MediaSubtype::yvu9:
            return V4L2_PIX_FMT_YVU410;
        case MediaSubtype::y41p:
            return V4L2_PIX_FMT_Y41P;
        case MediaSubtype::ayuv:
            return V4L2_PIX_FMT_AYUV32;
        case MediaSubtype::mjpg:
            return V4L2_PIX_FMT_MJPEG;
        case MediaSubtype::y800:
        case MediaSubtype::y8:
        case MediaSubtype::grey:
            return V4L2_PIX_FMT_GREY;
        case MediaSubtype::by8:
            return V4L2_PIX_FMT_SBGGR8;
        case MediaSubtype::y16:
            return V4L2_PIX_FMT_Y16;
        case MediaSubtype::nv12:
            return V4L2_PIX_FMT_NV12;
        case MediaSubtype::y411:
        case MediaSubtype::y211:
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<MediaSubtype> subtypeFor(std::uint32_t pixelFormat) {
    if (pixelFormat == V4L2_PIX_FMT_RGB24) {
        return MediaSubtype::rgb24;
    }
    if (pixelFormat == V4L2_PIX_FMT_JPEG) {
        return MediaSubtype::mjpg;
    }
    for (int position = 0; position < kSubtypeCount; ++position) {
        if (pixelFormatFor(subtypeAt(position)) == pixelFormat) {
            return subtypeAt(position);
        }
    }
    return std::nullopt;
}

std::vector<SizeCapability> listCapabilities(DeviceIo& device) {
    std::vector<SizeCapability> capabilities;
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (format.index = 0; device.control(VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
        if (const auto subtype = subtypeFor(format.pixelformat)) {
            addSizes(device, format.pixelformat, *subtype, capabilities);
        }
    }
    return capabilities;
}

std::optional<VideoFormat> readFormat(DeviceIo& device) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (device.control(VIDIOC_G_FMT, &format) != 0) {
        return std::nullopt;
    }
    VideoFormat result{static_cast<int>(format.fmt.pix.width),
                       static_cast<int>(format.fmt.pix.height),
                       subtypeFor(format.fmt.pix.pixelformat).value_or(MediaSubtype::rgb24)};
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (device.control(VIDIOC_G_PARM, &parameters) == 0 &&
        parameters.parm.capture.timeperframe.denominator != 0) {
        result.framePeriod = static_cast<int>(periodOf(parameters.parm.capture.timeperframe));
    }
    return result;
}

bool writeFormat(DeviceIo& device, const VideoFormat& wanted) {
    const auto pixelFormat = pixelFormatFor(wanted.subtype);
    if (!pixelFormat || wanted.width <= 0 || wanted.height <= 0) {
        return false;
    }
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = static_cast<std::uint32_t>(wanted.width);
    format.fmt.pix.height = static_cast<std::uint32_t>(wanted.height);
    format.fmt.pix.pixelformat = *pixelFormat;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    if (device.control(VIDIOC_S_FMT, &format) != 0 ||
        format.fmt.pix.width != static_cast<std::uint32_t>(wanted.width) ||
        format.fmt.pix.height != static_cast<std::uint32_t>(wanted.height) ||
        format.fmt.pix.pixelformat != *pixelFormat) {
        return false;
    }
    if (wanted.framePeriod > 0) {
        v4l2_streamparm parameters{};
        parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parameters.parm.capture.timeperframe =
            nearestInterval(device, *pixelFormat, wanted.width, wanted.height, wanted.framePeriod)
                .value_or(fractionOf(wanted.framePeriod));
        device.control(VIDIOC_S_PARM, &parameters);
    }
    return true;
}

std::optional<v4l2_fract> nearestInterval(DeviceIo& device, std::uint32_t pixelFormat, int width,
                                          int height, int period) {
    v4l2_frmivalenum interval{};
    interval.pixel_format = pixelFormat;
    interval.width = static_cast<std::uint32_t>(width);
    interval.height = static_cast<std::uint32_t>(height);
    std::optional<v4l2_fract> nearest;
    for (interval.index = 0; device.control(VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0;
         ++interval.index) {
        if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) {
            const std::int64_t low = periodOf(interval.stepwise.min);
            const std::int64_t high = periodOf(interval.stepwise.max);
            if (period < low) {
                return interval.stepwise.min;
            }
            return period > high ? interval.stepwise.max : fractionOf(period);
        }
        if (!nearest || std::llabs(periodOf(interval.discrete) - period) <
                            std::llabs(periodOf(*nearest) - period)) {
            nearest = interval.discrete;
        }
    }
    return nearest;
}

}  // namespace velvix::v4l2
