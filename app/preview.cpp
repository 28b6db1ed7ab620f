#include "preview.hpp"

#include <stb_image_write.h>

#include <algorithm>
#include <utility>

#include "velvix/base/picture_rows.hpp"
#include "velvix/filters/bilinear_scale.hpp"

namespace velvix {
namespace {

void appendBytes(void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                               static_cast<std::size_t>(size));
}

void swapRedAndBlue(std::vector<std::uint8_t>& pixels, FrameSize size) {
    const auto bytes = static_cast<std::size_t>(size.pixels()) * 3;
    for (std::size_t at = 0; at < bytes; at += 3) {
        std::swap(pixels[at], pixels[at + 2]);
    }
}

}  // namespace

FrameSize previewSize(FrameSize frame) {
    const std::int64_t width = std::max(frame.width, 1);
    const std::int64_t height = std::max(frame.height, 1);
    std::int64_t previewWidth = kPreviewBox.width;
    std::int64_t previewHeight = (previewWidth * height + width / 2) / width;
    if (previewHeight > kPreviewBox.height) {
        previewHeight = kPreviewBox.height;
        previewWidth = (previewHeight * width + height / 2) / height;
    }
    return {static_cast<int>(std::max<std::int64_t>(previewWidth, kMinimumResizeWidth)),
            static_cast<int>(std::max<std::int64_t>(previewHeight, 1))};
}

std::string encodeJpeg(const std::uint8_t* pixels, FrameSize size, int quality) {
    std::string file;
    if (stbi_write_jpg_to_func(appendBytes, &file, size.width, size.height, 3, pixels, quality) ==
        0) {
        file.clear();
    }
    return file;
}

void PanelPreview::unsmoothed(const std::uint8_t* frame, FrameSize size) {
    if (wanted(PreviewPicture::unsmoothed)) {
        keep(frame, size, PreviewPicture::unsmoothed);
    }
}

void PanelPreview::published(const std::uint8_t* frame, FrameSize size) {
    if (wanted(PreviewPicture::smoothed)) {
        keep(frame, size, PreviewPicture::smoothed);
    }
}

bool PanelPreview::wanted(PreviewPicture kind) const {
    if (askedFor_.load(std::memory_order_relaxed) != kind) {
        return false;
    }
    return Clock::now().time_since_epoch().count() < wantedUntil_.load(std::memory_order_relaxed);
}

// Scales the frame (bottom row first) into the worker's own picture, top row first, then
// swaps it with the newest one: the lock is held for the swap only.
void PanelPreview::keep(const std::uint8_t* frame, FrameSize size, PreviewPicture kind) {
    if (size.width < 2 || size.height < 2) {
        return;
    }
    const FrameSize small = previewSize(size);
    scaling_.pixels.resize(static_cast<std::size_t>(small.pixels()) * 3);
    // Bottom row first, as the frame's rows are: the picture is stored top row first.
    resizeBilinear(packedPicture(frame, size, 3),
                   upsideDown(packedPicture(scaling_.pixels.data(), small, 3)));
    scaling_.size = small;
    scaling_.kind = kind;
    const std::lock_guard lock(newestLock_);
    scaling_.serial = newest_.serial + 1;
    std::swap(scaling_, newest_);
    copied_.fetch_add(1, std::memory_order_relaxed);
}

std::optional<std::string> PanelPreview::newJpeg(PreviewPicture picture) {
    askedFor_.store(picture, std::memory_order_relaxed);
    wantedUntil_.store((Clock::now() + kPreviewInterest).time_since_epoch().count(),
                       std::memory_order_relaxed);
    {
        const std::lock_guard lock(newestLock_);
        if (newest_.serial == taken_ || newest_.kind != picture) {
            return std::nullopt;
        }
        taken_ = newest_.serial;
        std::swap(encoding_, newest_);
        // The worker's next picture must count on from the one taken.
        newest_.serial = taken_;
    }
    swapRedAndBlue(encoding_.pixels, encoding_.size);
    ++encoded_;
    return encodeJpeg(encoding_.pixels.data(), encoding_.size, kPreviewJpegQuality);
}

}  // namespace velvix
