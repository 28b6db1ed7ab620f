#include "velvix/virtual_camera/bridge.hpp"

namespace velvix::virtual_camera {
namespace {

constexpr std::uint64_t kSecond = 10'000'000;
// A ring whose newest frame has not changed for this long is opened again: the program may
// have re-created it, or the first attempt found none.
constexpr std::uint64_t kReattachAfter = kSecond;

}  // namespace

FrameSize ringFrameSize(const std::string& ringName) {
    const auto reader = FrameRingReader::open(ringName);
    if (reader.isOpen()) {
        const auto header = reader.header();
        if (RingLayout::forSize({header.width, header.height})) {
            return {header.width, header.height};
        }
    }
    return kDefaultFrameSize;
}

VirtualCameraBridge::VirtualCameraBridge(BridgeSettings settings, SinkOpener openSink)
    : settings_(std::move(settings)),
      openSink_(std::move(openSink)),
      converter_(settings_.outputSize, settings_.format),
      placeholder_(placeholderFrame(settings_.outputSize)),
      output_(converter_.frameBytes()) {}

std::uint64_t VirtualCameraBridge::frameInterval() const {
    if (reader_) {
        const std::int64_t announced = reader_->header().frameInterval;
        if (announced >= 10'000 && announced <= 10'000'000) {  // 1 to 1000 frames per second
            return static_cast<std::uint64_t>(announced);
        }
    }
    return kFramePeriod;
}

BridgeFrame VirtualCameraBridge::step(std::uint64_t now) {
    const bool ringStalled = !reader_ || now - lastChange_ >= kReattachAfter;
    if (ringStalled && (!lastAttach_ || now - *lastAttach_ >= kReattachAfter)) {
        reattach(now);
    }
    const bool fresh = refreshFrame(now);
    if (haveFrame_) {
        converter_.convert(frame_.pixels.data(), frame_.size, output_.data());
    } else {
        converter_.convert(placeholder_.data(), settings_.outputSize, output_.data());
    }
    if (!write()) {
        return BridgeFrame::notWritten;
    }
    if (!haveFrame_) {
        return BridgeFrame::placeholder;
    }
    return fresh ? BridgeFrame::newest : BridgeFrame::repeated;
}

void VirtualCameraBridge::reattach(std::uint64_t now) {
    lastAttach_ = now;
    lastFrameNumber_.reset();
    // Where a section lasts only while someone has it open (Windows), the old mapping would
    // keep the ring of a program that ended without a word alive, its last frame with it.
    reader_.reset();
    auto reader = FrameRingReader::open(settings_.ringName);
    if (!reader.isOpen()) {
        const bool missing = reader.section().error() == platform::SectionError::notFound;
        ringProblem_ =
            missing ? std::string() : ringSectionProblem(settings_.ringName, reader.section());
        reader_.reset();
        haveFrame_ = false;  // the ring is gone
        return;
    }
    ringProblem_.clear();
    reader_.emplace(std::move(reader));
    const auto header = reader_->header();
    const FrameSize ringSize{header.width, header.height};
    if (settings_.requestOutputSize && ringSize != settings_.outputSize &&
        header.state != kRingResizing) {
        // A refused request leaves the ring at its size, whose frames are scaled to the output.
        static_cast<void>(requestRingSize(settings_.ringName, settings_.outputSize));
    }
}

bool VirtualCameraBridge::refreshFrame(std::uint64_t now) {
    if (!reader_) {
        return false;
    }
    // A writer that stopped leaves the ring initialised without a frame; the last frame it
    // wrote is then no longer the picture. While the ring is being re-created at another size,
    // the last frame stands in for the next one.
    if (reader_->header().state == kRingInitialised) {
        haveFrame_ = false;
        lastFrameNumber_.reset();
        return false;
    }
    const auto frameNumber = reader_->readyCount();
    if (lastFrameNumber_ == frameNumber) {
        return false;
    }
    if (reader_->readNewest(frame_) != FrameRingReader::Result::frame) {
        return false;
    }
    haveFrame_ = true;
    lastFrameNumber_ = frame_.frameNumber;
    lastChange_ = now;
    return true;
}

bool VirtualCameraBridge::write() {
    if (!sink_) {
        sink_ = openSink_();
        if (!sink_) {
            return false;
        }
    }
    if (!sink_->writeFrame(output_.data(), output_.size())) {
        sink_.reset();
        return false;
    }
    return true;
}

}  // namespace velvix::virtual_camera
