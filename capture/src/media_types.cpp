#include "media_types.hpp"

#include <array>
#include <cstdint>

namespace velvix {
namespace {

// One name for each MediaSubtype, in its order.
constexpr std::array kNames{"RGB24", "RGB32", "RGB555", "RGB565", "YUY2", "YVYU", "YUYV", "IYUV",
                            "UYVY",  "YV12",  "YVU9",   "Y411",   "Y41P", "Y211", "AYUV", "MJPG",
                            "Y800",  "Y8",    "GREY",   "I420",   "BY8",  "Y16",  "NV12"};
static_assert(kNames.size() == kSubtypeCount);

// Frames larger than this are taken for a broken driver rather than allocated.
constexpr std::int64_t kMaxFramePixels = 16384LL * 16384LL;

// A camera's JPEG frame takes a tenth of the bytes of its RGB24 pixels or less; one larger
// than those is taken for a broken one.
constexpr std::int64_t kMostJpegBytesPerPixel = 3;

}  // namespace

MediaSubtype subtypeAt(int position) {
    return static_cast<MediaSubtype>(position);
}

std::string_view subtypeName(MediaSubtype subtype) {
    return kNames[static_cast<std::size_t>(subtype)];
}

MediaSubtype deliveredSubtype(MediaSubtype negotiated) {
    switch (negotiated) {
        case MediaSubtype::y800:
        case MediaSubtype::y8:
        case MediaSubtype::grey:
        case MediaSubtype::y16:
        case MediaSubtype::nv12:
        case MediaSubtype::mjpg:
            return negotiated;
        default:
            return MediaSubtype::rgb24;
    }
}

std::optional<std::size_t> deliveredFrameBytes(MediaSubtype delivered, int width, int height) {
    const std::int64_t pixels = std::int64_t{width} * height;
    if (width <= 0 || height <= 0 || pixels > kMaxFramePixels) {
        return std::nullopt;
    }
    switch (delivered) {
        case MediaSubtype::y800:
        case MediaSubtype::y8:
        case MediaSubtype::grey:
            return static_cast<std::size_t>(pixels);
        case MediaSubtype::y16:
            return static_cast<std::size_t>(pixels * 2);
        case MediaSubtype::nv12:
            return static_cast<std::size_t>(pixels * 3 / 2);
        case MediaSubtype::mjpg:
            return static_cast<std::size_t>(pixels * kMostJpegBytesPerPixel);
        default:
            return static_cast<std::size_t>(pixels * 3);
    }
}

}  // namespace velvix
