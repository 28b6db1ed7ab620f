#include "camera_client.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "process.hpp"
#include "velvix/virtual_camera/windows_camera.hpp"
#include "video_sources.hpp"

namespace velvix::virtual_camera::testing {
namespace {

std::u16string cameraName() {
    const std::string name = kWindowsCameraName;
    return std::u16string(name.begin(), name.end());
}

}  // namespace

int regsvr32(const std::vector<std::string>& switches, const std::string& dll) {
    std::vector<std::string> command{"regsvr32", "/s"};
    command.insert(command.end(), switches.begin(), switches.end());
    command.push_back(dll);
    return velvix::testing::runProgram(command).exitCode;
}

bool cameraListed() {
    const auto names = systemVideoInputs()->names();
    return std::find(names.begin(), names.end(), cameraName()) != names.end();
}

std::string digest(const Bytes& bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const std::uint8_t byte : bytes) {
        hash = (hash ^ byte) * 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

void SampleRecorder::deliverSample(const std::uint8_t* data, std::size_t length) {
    const std::lock_guard lock(mutex_);
    latest_.assign(data, data + length);
    ++count_;
}

Bytes SampleRecorder::latest() const {
    const std::lock_guard lock(mutex_);
    return latest_;
}

int SampleRecorder::count() const {
    const std::lock_guard lock(mutex_);
    return count_;
}

CameraClient::CameraClient(const std::string& ringName, const CameraFormatCase& format)
    : format_(format) {
    _putenv((std::string(kCameraRingVariable) + "=" + ringName).c_str());
    const auto names = backend_.deviceNames();
    const auto found = std::find(names.begin(), names.end(), cameraName());
    if (found == names.end()) {
        std::cerr << "the Velvix Camera is not among the video input devices\n";
        return;
    }
    connection_ = backend_.connect(static_cast<int>(found - names.begin()));
    streaming_ = connection_ != nullptr && connection_->setFormat(format.asked) &&
                 connection_->startStreaming(format.asked.subtype, samples_);
}

CameraClient::~CameraClient() {
    if (connection_ != nullptr) {
        connection_->stopStreaming();
    }
}

Bytes CameraClient::expectedSample(const Bytes& ringPixels, FrameSize ringSize) const {
    FrameConverter converter({format_.asked.width, format_.asked.height}, format_.layout);
    Bytes sample(converter.frameBytes());
    converter.convert(ringPixels.data(), ringSize, sample.data());
    return sample;
}

Bytes CameraClient::expectedPlaceholder() const {
    const FrameSize size{format_.asked.width, format_.asked.height};
    return expectedSample(placeholderFrame(size), size);
}

bool CameraClient::showsTheRing(const std::string& ringName) const {
    RingFrame frame;
    return FrameRingReader::open(ringName).readNewest(frame) ==
               FrameRingReader::ReadOutcome::frame &&
           frame.size == FrameSize{format_.asked.width, format_.asked.height} &&
           samples_.latest() == expectedSample(frame.pixels, frame.size);
}

bool CameraClient::showsThePlaceholder() const {
    return samples_.latest() == expectedPlaceholder();
}

std::string CameraClient::comparison(const std::string& ringName) const {
    RingFrame frame;
    const bool read =
        FrameRingReader::open(ringName).readNewest(frame) == FrameRingReader::ReadOutcome::frame;
    return "ring " +
           (read ? std::to_string(frame.size.width) + " x " + std::to_string(frame.size.height) +
                       " " + digest(expectedSample(frame.pixels, frame.size))
                 : std::string("without a frame")) +
           ", camera " + digest(samples_.latest()) + " (placeholder " +
           digest(expectedPlaceholder()) + ")";
}

}  // namespace velvix::virtual_camera::testing
