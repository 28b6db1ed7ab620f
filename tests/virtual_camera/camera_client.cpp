#include "camera_client.hpp"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <iterator>

#include "velvix/pipeline/frame_ring.hpp"
#include "velvix/virtual_camera/windows_camera.hpp"

namespace velvix::virtual_camera::testing {

const std::u16string kCameraName(std::begin(kWindowsCameraName), std::end(kWindowsCameraName) - 1);

bool cameraListed() {
    return std::ranges::count(DirectShowBackend().deviceNames(), kCameraName) == 1;
}

CameraClient::CameraClient(const std::string& ringName, const CameraFormatCase& format)
    : format_(format) {
    _putenv((std::string(kCameraRingVariable) + "=" + ringName).c_str());
    const auto names = backend_.deviceNames();
    const auto found = std::ranges::find(names, kCameraName);
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

bool CameraClient::shows(const std::vector<std::uint8_t>& ringPixels, FrameSize ringSize) const {
    FrameConverter converter({format_.asked.width, format_.asked.height}, format_.layout);
    std::vector<std::uint8_t> expected(converter.frameBytes());
    converter.convert(ringPixels.data(), ringSize, expected.data());
    const std::lock_guard lock(mutex_);
    return newest_ == expected;
}

bool CameraClient::showsTheRing(const std::string& ringName) const {
    RingFrame frame;
    return FrameRingReader::open(ringName).readNewest(frame) ==
               FrameRingReader::ReadOutcome::frame &&
           frame.size == FrameSize{format_.asked.width, format_.asked.height} &&
           shows(frame.pixels, frame.size);
}

bool CameraClient::showsThePlaceholder() const {
    const FrameSize size{format_.asked.width, format_.asked.height};
    return shows(placeholderFrame(size), size);
}

std::string CameraClient::comparison(const std::string& ringName) const {
    const std::lock_guard lock(mutex_);
    return "ring " + ringName + "; camera: " + std::to_string(samples_) + " samples, the newest " +
           std::to_string(newest_.size()) + " bytes";
}

}  // namespace velvix::virtual_camera::testing
