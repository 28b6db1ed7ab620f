#include "camera_client.hpp"

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "velvix/virtual_camera/windows_camera.hpp"
#include "video_sources.hpp"

namespace velvix::virtual_camera::testing {
namespace {

const std::u16string kCameraName(kWindowsCameraName,
                                 kWindowsCameraName +
                                     std::char_traits<char>::length(kWindowsCameraName));

}  // namespace

bool cameraListed() {
    const auto names = systemVideoInputs()->names();
    return std::find(names.begin(), names.end(), kCameraName) != names.end();
}

CameraClient::CameraClient(const std::string& ringName, const CameraFormatCase& format)
    : format_(format) {
    _putenv((std::string(kCameraRingVariable) + "=" + ringName).c_str());
    const auto names = backend_.deviceNames();
    const auto found = std::find(names.begin(), names.end(), kCameraName);
    if (found == names.end()) {
        std::cerr << "the Velvix Camera is not among the video input devices\n";
        return;
    }
    connection_ = backend_.connect(static_cast<int>(found - names.begin()));
    streaming_ = connection_ != nullptr && connection_->setFormat(format.asked) &&
                 connection_->startStreaming(format.asked.subtype, *this);
}

CameraClient::~CameraClient() {
    if (connection_ != nullptr) {
        connection_->stopStreaming();
    }
}

void CameraClient::deliverSample(const std::uint8_t* data, std::size_t length) {
    const std::lock_guard lock(mutex_);
    newest_.assign(data, data + length);
    ++samples_;
}

int CameraClient::samples() const {
    const std::lock_guard lock(mutex_);
    return samples_;
}

std::vector<std::uint8_t> CameraClient::newest() const {
    const std::lock_guard lock(mutex_);
    return newest_;
}

std::vector<std::uint8_t> CameraClient::expectedSample(const std::vector<std::uint8_t>& ringPixels,
                                                       FrameSize ringSize) const {
    FrameConverter converter({format_.asked.width, format_.asked.height}, format_.layout);
    std::vector<std::uint8_t> sample(converter.frameBytes());
    converter.convert(ringPixels.data(), ringSize, sample.data());
    return sample;
}

bool CameraClient::showsTheRing(const std::string& ringName) const {
    RingFrame frame;
    return FrameRingReader::open(ringName).readNewest(frame) ==
               FrameRingReader::ReadOutcome::frame &&
           frame.size == FrameSize{format_.asked.width, format_.asked.height} &&
           newest() == expectedSample(frame.pixels, frame.size);
}

bool CameraClient::showsThePlaceholder() const {
    const FrameSize size{format_.asked.width, format_.asked.height};
    return newest() == expectedSample(placeholderFrame(size), size);
}

std::string CameraClient::comparison(const std::string& ringName) const {
    RingFrame frame;
    const bool read =
        FrameRingReader::open(ringName).readNewest(frame) == FrameRingReader::ReadOutcome::frame;
    return "ring " +
           (read ? std::to_string(frame.size.width) + " x " + std::to_string(frame.size.height)
                 : std::string("without a frame")) +
           "; camera: " + std::to_string(samples()) + " samples, the newest " +
           std::to_string(newest().size()) + " bytes" +
           (showsThePlaceholder() ? ", the placeholder" : "");
}

}  // namespace velvix::virtual_camera::testing
