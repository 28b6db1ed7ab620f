#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "velvix/pipeline/processing_steps.hpp"
#include "web_messages.hpp"

namespace velvix {

// The largest preview picture: the page shows it at its own width, about 290 pixels.
inline constexpr FrameSize kPreviewBox{288, 216};
// The frame worker keeps copies for the preview this long after the page last asked.
inline constexpr std::chrono::milliseconds kPreviewInterest{1000};
inline constexpr int kPreviewJpegQuality = 75;

// The size of the preview of a frame: its aspect ratio kept within kPreviewBox, at least 32
// pixels wide (the resampling kernel's least width) and 1 high.
FrameSize previewSize(FrameSize frame);

// The picture of the panel's preview. The frame worker shows it every frame, before smoothing
// and as published; it keeps a small copy of the one the page last asked for, and only while
// the page has asked within kPreviewInterest, so that nothing is copied while nobody looks.
// The page's request takes the newest copy as a JPEG on the user-interface thread.
class PanelPreview final : public FrameTap, public PreviewSource {
  public:
    using Clock = std::chrono::steady_clock;

    // Worker thread.
    void unsmoothed(const std::uint8_t* frame, FrameSize size) override;
    void published(const std::uint8_t* frame, FrameSize size) override;

    // User-interface thread.
    std::optional<std::string> newJpeg(PreviewPicture picture) override;

    // How many frames were copied for the preview and how many pictures were encoded.
    std::uint64_t copiedFrames() const { return copied_.load(std::memory_order_relaxed); }
    std::uint64_t encodedPictures() const { return encoded_; }

  private:
    struct Picture {
        std::vector<std::uint8_t> pixels;  // top row first; blue, green, red until encoded
        FrameSize size;
        PreviewPicture kind = PreviewPicture::smoothed;
        std::uint64_t serial = 0;
    };

    void keep(const std::uint8_t* frame, FrameSize size, PreviewPicture kind);
    bool wanted(PreviewPicture kind) const;

    // Written by the page's requests, read by the worker: until when copies are wanted.
    std::atomic<Clock::rep> wantedUntil_{Clock::time_point::min().time_since_epoch().count()};
    std::atomic<PreviewPicture> askedFor_{PreviewPicture::smoothed};
    std::atomic<std::uint64_t> copied_{0};

    Picture scaling_;  // the worker's own
    std::mutex newestLock_;
    Picture newest_;    // under newestLock_
    Picture encoding_;  // the user-interface thread's own
    std::uint64_t taken_ = 0;
    std::uint64_t encoded_ = 0;
};

// A JPEG file of a picture of red, green, blue pixels, top row first.
std::string encodeJpeg(const std::uint8_t* pixels, FrameSize size, int quality);

}  // namespace velvix
