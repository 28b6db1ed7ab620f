#include "camera_formats.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace velvix::virtual_camera {
namespace {

constexpr FrameSize kCommonSizes[] = {{1280, 720}, {640, 480}};
constexpr DWORD kYuy2Code = MAKEFOURCC('Y', 'U', 'Y', '2');

const GUID& subtypeOf(const CameraFormat& format) {
    return format.layout == OutputFormat::yuyv ? MEDIASUBTYPE_YUY2 : MEDIASUBTYPE_RGB24;
}

std::uint64_t bitsPerSecond(const CameraFormat& format) {
    return std::uint64_t{sampleBytes(format)} * 8 * 10'000'000 / kFramePeriod;
}

template <typename Number>
Number clamped(std::uint64_t value) {
    return static_cast<Number>(std::min<std::uint64_t>(
        value, static_cast<std::uint64_t>(std::numeric_limits<Number>::max())));
}

const VIDEOINFOHEADER* videoInfoOf(const AM_MEDIA_TYPE& type) {
    if (!IsEqualGUID(type.formattype, FORMAT_VideoInfo) || type.pbFormat == nullptr ||
        type.cbFormat < sizeof(VIDEOINFOHEADER)) {
        return nullptr;
    }
    return reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
}

}  // namespace

std::vector<CameraFormat> offeredFormats(FrameSize ringSize) {
    std::vector<FrameSize> sizes{ringSize};
    for (const FrameSize size : kCommonSizes) {
        if (size != ringSize) {
            sizes.push_back(size);
        }
    }
    std::vector<CameraFormat> formats;
    for (const FrameSize size : sizes) {
        if (size.width % 2 == 0) {
            formats.push_back({size, OutputFormat::yuyv});
        }
        formats.push_back({size, OutputFormat::bitmapRgb24});
    }
    return formats;
}

std::size_t sampleBytes(const CameraFormat& format) {
    return outputFrameBytes(format.size, format.layout);
}

bool describeFormat(const CameraFormat& format, AM_MEDIA_TYPE& type) {
    auto* info = static_cast<VIDEOINFOHEADER*>(CoTaskMemAlloc(sizeof(VIDEOINFOHEADER)));
    if (info == nullptr) {
        return false;
    }
    *info = VIDEOINFOHEADER{};
    const bool yuy2 = format.layout == OutputFormat::yuyv;
    info->rcSource = RECT{0, 0, format.size.width, format.size.height};
    info->rcTarget = info->rcSource;
    info->dwBitRate = clamped<DWORD>(bitsPerSecond(format));
    info->AvgTimePerFrame = kFramePeriod;
    BITMAPINFOHEADER& bitmap = info->bmiHeader;
    bitmap.biSize = sizeof(BITMAPINFOHEADER);
    bitmap.biWidth = format.size.width;
    bitmap.biHeight = format.size.height;  // RGB: bottom row first; YUY2 is top-down anyway
    bitmap.biPlanes = 1;
    bitmap.biBitCount = yuy2 ? 16 : 24;
    bitmap.biCompression = yuy2 ? kYuy2Code : BI_RGB;
    bitmap.biSizeImage = static_cast<DWORD>(sampleBytes(format));

    type = AM_MEDIA_TYPE{};
    type.majortype = MEDIATYPE_Video;
    type.subtype = subtypeOf(format);
    type.bFixedSizeSamples = TRUE;
    type.bTemporalCompression = FALSE;
    type.lSampleSize = static_cast<ULONG>(sampleBytes(format));
    type.formattype = FORMAT_VideoInfo;
    type.cbFormat = sizeof(VIDEOINFOHEADER);
    type.pbFormat = reinterpret_cast<BYTE*>(info);
    return true;
}

AM_MEDIA_TYPE* newMediaType(const CameraFormat& format) {
    auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (type != nullptr && !describeFormat(format, *type)) {
        CoTaskMemFree(type);
        return nullptr;
    }
    return type;
}

void freeMediaType(AM_MEDIA_TYPE& type) {
    if (type.pbFormat != nullptr) {
        CoTaskMemFree(type.pbFormat);
        type.pbFormat = nullptr;
    }
    type.cbFormat = 0;
    if (type.pUnk != nullptr) {
        type.pUnk->Release();
        type.pUnk = nullptr;
    }
}

void deleteMediaType(AM_MEDIA_TYPE* type) {
    if (type != nullptr) {
        freeMediaType(*type);
        CoTaskMemFree(type);
    }
}

std::optional<CameraFormat> requestedFormat(const AM_MEDIA_TYPE& type,
                                            const std::vector<CameraFormat>& offered) {
    const VIDEOINFOHEADER* info = videoInfoOf(type);
    if (!IsEqualGUID(type.majortype, MEDIATYPE_Video) || info == nullptr) {
        return std::nullopt;
    }
    const bool yuy2 = IsEqualGUID(type.subtype, MEDIASUBTYPE_YUY2);
    // The camera writes RGB24 bottom up only, as a bitmap with a positive height stores it.
    if (!yuy2 && !(IsEqualGUID(type.subtype, MEDIASUBTYPE_RGB24) && info->bmiHeader.biHeight > 0)) {
        return std::nullopt;
    }
    const CameraFormat wanted{{static_cast<int>(info->bmiHeader.biWidth),
                               std::abs(static_cast<int>(info->bmiHeader.biHeight))},
                              yuy2 ? OutputFormat::yuyv : OutputFormat::bitmapRgb24};
    if (std::find(offered.begin(), offered.end(), wanted) == offered.end()) {
        return std::nullopt;
    }
    return wanted;
}

bool allows(const AM_MEDIA_TYPE& wish, const CameraFormat& format) {
    auto open = [](const GUID& wished, const GUID& given) {
        return IsEqualGUID(wished, GUID_NULL) || IsEqualGUID(wished, given);
    };
    if (!open(wish.majortype, MEDIATYPE_Video) || !open(wish.subtype, subtypeOf(format)) ||
        !open(wish.formattype, FORMAT_VideoInfo)) {
        return false;
    }
    const VIDEOINFOHEADER* info = videoInfoOf(wish);
    return info == nullptr ||
           (info->bmiHeader.biWidth == format.size.width &&
            std::abs(static_cast<int>(info->bmiHeader.biHeight)) == format.size.height);
}

VIDEO_STREAM_CONFIG_CAPS capabilitiesOf(const CameraFormat& format) {
    const SIZE size{format.size.width, format.size.height};
    VIDEO_STREAM_CONFIG_CAPS caps{};
    caps.guid = FORMAT_VideoInfo;
    caps.InputSize = size;
    caps.MinCroppingSize = size;
    caps.MaxCroppingSize = size;
    caps.CropGranularityX = 1;
    caps.CropGranularityY = 1;
    caps.CropAlignX = 1;
    caps.CropAlignY = 1;
    caps.MinOutputSize = size;
    caps.MaxOutputSize = size;
    caps.OutputGranularityX = 1;
    caps.OutputGranularityY = 1;
    caps.MinFrameInterval = kFramePeriod;
    caps.MaxFrameInterval = kFramePeriod;
    caps.MinBitsPerSecond = clamped<LONG>(bitsPerSecond(format));
    caps.MaxBitsPerSecond = caps.MinBitsPerSecond;
    return caps;
}

}  // namespace velvix::virtual_camera
