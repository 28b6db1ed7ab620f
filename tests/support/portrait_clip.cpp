#include "portrait_clip.hpp"

#include <stb_image.h>
#include <stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velvix::testing {

// The demo portrait's face: its centre and width in the photo's own pixels.
constexpr float kPhotoFaceX = 232;
constexpr float kPhotoFaceY = 135;
constexpr float kPhotoFaceWidth = 100;

PortraitClip::PortraitClip(const std::string& photoPath, FrameSize size) : size_(size) {
    int channels = 0;
    stbi_uc* rgb = stbi_load(photoPath.c_str(), &photoWidth_, &photoHeight_, &channels, 3);
    if (rgb != nullptr) {
        photo_.assign(rgb, rgb + static_cast<std::size_t>(photoWidth_) * photoHeight_ * 3);
        stbi_image_free(rgb);
    }
}

std::vector<std::uint8_t> PortraitClip::background() const {
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(size_.pixels()) * 3);
    for (int y = 0; y < size_.height; ++y) {
        std::uint8_t* row = frame.data() + static_cast<std::size_t>(size_.height - 1 - y) *
                                               static_cast<std::size_t>(size_.width) * 3;
        for (int x = 0; x < size_.width; ++x) {
            const int texture = ((x * 13 + y * 7) % 23) - 11;
            for (int c = 0; c < 3; ++c) {
                row[x * 3 + c] = static_cast<std::uint8_t>(
                    std::clamp(90 + x / 16 + y / 12 + c * 15 + texture, 0, 255));
            }
        }
    }
    return frame;
}

std::vector<std::uint8_t> PortraitClip::frame(const PortraitPose& pose) const {
    return frame(std::vector<PortraitPose>{pose});
}

std::vector<std::uint8_t> PortraitClip::frame(const std::vector<PortraitPose>& poses) const {
    std::vector<std::uint8_t> frame = background();
    for (const PortraitPose& pose : photo_.empty() ? std::vector<PortraitPose>{} : poses) {
        draw(pose, frame);
    }
    return frame;
}

void PortraitClip::draw(const PortraitPose& pose, std::vector<std::uint8_t>& frame) const {
    const float scale = pose.faceWidth / kPhotoFaceWidth;
    const float radians = pose.degrees * std::numbers::pi_v<float> / 180;
    const float cosine = std::cos(radians) / scale;
    const float sine = std::sin(radians) / scale;
    const float reach = pose.reach > 0 ? pose.reach * kPhotoFaceWidth
                                       : static_cast<float>(photoWidth_ + photoHeight_);
    for (int y = 0; y < size_.height; ++y) {
        std::uint8_t* row = frame.data() + static_cast<std::size_t>(size_.height - 1 - y) *
                                               static_cast<std::size_t>(size_.width) * 3;
        const float dy = static_cast<float>(y) - pose.centreY;
        for (int x = 0; x < size_.width; ++x) {
            const float dx = static_cast<float>(x) - pose.centreX;
            // The frame point back in the photo, by the inverse turn and scale.
            const float px = kPhotoFaceX + cosine * dx + sine * dy;
            const float py = kPhotoFaceY - sine * dx + cosine * dy;
            if (px < 0 || py < 0 || px > static_cast<float>(photoWidth_ - 1) ||
                py > static_cast<float>(photoHeight_ - 1) || std::abs(px - kPhotoFaceX) > reach ||
                std::abs(py - kPhotoFaceY) > reach) {
                continue;
            }
            const int left = std::min(static_cast<int>(px), photoWidth_ - 2);
            const int top = std::min(static_cast<int>(py), photoHeight_ - 2);
            const float fx = px - static_cast<float>(left);
            const float fy = py - static_cast<float>(top);
            const auto at = [this](int column, int line, int channel) {
                return static_cast<float>(
                    photo_[(static_cast<std::size_t>(line) * photoWidth_ + column) * 3 + channel]);
            };
            for (int c = 0; c < 3; ++c) {
                const float value =
                    (at(left, top, c) * (1 - fx) + at(left + 1, top, c) * fx) * (1 - fy) +
                    (at(left, top + 1, c) * (1 - fx) + at(left + 1, top + 1, c) * fx) * fy;
                row[x * 3 + (2 - c)] = static_cast<std::uint8_t>(std::lround(value));
            }
        }
    }
}

PortraitPose PortraitClip::movingPose(int index, int frames) {
    const float phase =
        2 * std::numbers::pi_v<float> * static_cast<float>(index) / static_cast<float>(frames);
    return {640 - 320 * std::cos(phase), 330 + 40 * std::sin(2 * phase), 240 + 60 * std::sin(phase),
            15 * std::sin(3 * phase)};
}

std::vector<PortraitPose> PortraitClip::movingGroup(int faces, int index, int frames) {
    const bool quarters = faces > 2;
    const int columns = 2;
    const float partWidth = 640;
    const float partHeight = quarters ? 360 : 720;
    const float width = quarters ? 130 : 200;
    std::vector<PortraitPose> poses;
    for (int k = 0; k < faces; ++k) {
        const float phase = 2 * std::numbers::pi_v<float> *
                            (static_cast<float>(index) / static_cast<float>(frames) +
                             static_cast<float>(k) / static_cast<float>(faces));
        poses.push_back({partWidth * (static_cast<float>(k % columns) + 0.5f) +
                             partWidth * 0.2f * std::sin(phase),
                         partHeight * (static_cast<float>(k / columns) + 0.5f) +
                             partHeight * 0.06f * std::sin(2 * phase),
                         width * (1 + std::cos(phase) / 6), 10 * std::sin(3 * phase), 1.15f});
    }
    return poses;
}

Y4mWriter::Y4mWriter(const std::string& path, FrameSize size)
    : file_(std::fopen(path.c_str(), "wb")), size_(size) {
    if (file_ != nullptr) {
        std::fprintf(file_, "YUV4MPEG2 W%d H%d F30:1 Ip A1:1 C420jpeg\n", size.width, size.height);
    }
}

Y4mWriter::~Y4mWriter() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void Y4mWriter::add(const std::vector<std::uint8_t>& frame) {
    if (file_ == nullptr) {
        return;
    }
    const auto width = static_cast<std::size_t>(size_.width);
    const auto chromaWidth = (width + 1) / 2;
    const auto lumaBytes = width * static_cast<std::size_t>(size_.height);
    const auto chromaBytes = chromaWidth * static_cast<std::size_t>((size_.height + 1) / 2);
    planes_.assign(lumaBytes + 2 * chromaBytes, 0);
    std::vector<float> sums(2 * chromaBytes, 0.0f);
    const auto byte = [](float value) {
        return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
    };
    for (std::size_t y = 0; y < static_cast<std::size_t>(size_.height); ++y) {
        const std::uint8_t* row = frame.data() + (size_.height - 1 - y) * width * 3;
        for (std::size_t x = 0; x < width; ++x) {
            const float b = row[x * 3];
            const float r = row[x * 3 + 2];
            const float luma = 0.299f * r + 0.587f * row[x * 3 + 1] + 0.114f * b;
            planes_[y * width + x] = byte(luma);
            const std::size_t chroma = y / 2 * chromaWidth + x / 2;
            sums[chroma] += 128 + 0.564f * (b - luma);
            sums[chromaBytes + chroma] += 128 + 0.713f * (r - luma);
        }
    }
    for (std::size_t i = 0; i < 2 * chromaBytes; ++i) {
        planes_[lumaBytes + i] = byte(sums[i] / 4);
    }
    std::fputs("FRAME\n", file_);
    std::fwrite(planes_.data(), 1, planes_.size(), file_);
}

bool writeFramePng(const std::string& path, const std::vector<std::uint8_t>& frame,
                   FrameSize size) {
    std::vector<std::uint8_t> rgb(frame.size());
    const auto rowBytes = static_cast<std::size_t>(size.width) * 3;
    for (int y = 0; y < size.height; ++y) {
        const std::uint8_t* source = frame.data() + (size.height - 1 - y) * rowBytes;
        std::uint8_t* destination = rgb.data() + static_cast<std::size_t>(y) * rowBytes;
        for (std::size_t i = 0; i < rowBytes; i += 3) {
            destination[i] = source[i + 2];
            destination[i + 1] = source[i + 1];
            destination[i + 2] = source[i];
        }
    }
    return stbi_write_png(path.c_str(), size.width, size.height, 3, rgb.data(),
                          static_cast<int>(rowBytes)) != 0;
}

}  // namespace velvix::testing
