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

RingPicture::RingPicture(BridgeSettings settings)
    : settings_(std::move(settings)),
      converter_(settings_.outputSize, settings_.format),
      placeholder_(placeholderFrame(settings_.outputSize)) {}

std::uint64_t RingPicture::frameInterval() const {
    if (reader_) {
        const std::int64_t announced = reader_->header().frameInterval;
        if (announced >= 10'000 && announced <= 10'000'000) {  // 1 to 1000 frames per second
            return static_cast<std::uint64_t>(announced);
        }
    }
    return kFramePeriod;
}

BridgeFrame RingPicture::render(std::uint64_t now, std::uint8_t* destination) {
    const bool ringStalled = !reader_ || now - lastChange_ >= kReattachAfter;
    if (ringStalled && (!lastAttach_ || now - *lastAttach_ >= kReattachAfter)) {
        reattach(now);
    }
    const std::optional<std::uint32_t> shownBefore = shownFrame_;
    noticeRefusedSize();
    if (!convertNewest(destination)) {
        shownFrame_.reset();
        converter_.convert(placeholder_.data(), settings_.outputSize, destination);
        return BridgeFrame::placeholder;
    }
    if (shownFrame_ == shownBefore) {
        return BridgeFrame::repeated;
    }
    lastChange_ = now;
    return BridgeFrame::newest;
}

void RingPicture::reattach(std::uint64_t now) {
    lastAttach_ = now;
    // Where a section lasts only while someone has it open (Windows), the old mapping would
    // keep the ring of a program that ended without a word alive, its last frame with it.
    reader_.reset();
    auto reader = FrameRingReader::open(settings_.ringName);
    if (!reader.isOpen()) {
        const bool missing = reader.section().error() == platform::SectionError::notFound;
        ringProblem_ =
            missing ? std::string() : ringSectionProblem(settings_.ringName, reader.section());
        reader_.reset();  // the ring is gone
        return;
    }
    ringProblem_.clear();
    reader_.emplace(std::move(reader));
    const auto header = reader_->header();
    const FrameSize ringSize{header.width, header.height};
    if (settings_.requestOutputSize && ringSize != settings_.outputSize &&
        header.state != RingState::resizing) {
        asked_ = requestRingSize(settings_.ringName, settings_.outputSize).ok() || asked_;
    }
}

// Once asked, the header holds the size asked for until the program re-creates the ring; another
// size there means that the program made the ring at that size instead. Its frames are then
// scaled to the output, and the reason is on the program's side.
void RingPicture::noticeRefusedSize() {
    if (!asked_ || !reader_) {
        return;
    }
    const auto header = reader_->header();
    const FrameSize ringSize{header.width, header.height};
    ringProblem_.clear();
    if (ringSize != settings_.outputSize) {
        ringProblem_ = "the program made the ring at " + std::to_string(ringSize.width) + " x " +
                       std::to_string(ringSize.height) + ", not at the " +
                       std::to_string(settings_.outputSize.width) + " x " +
                       std::to_string(settings_.outputSize.height) +
                       " asked for; its frames are scaled";
    }
}

// A writer that stopped leaves the ring initialised without a frame; the last frame it wrote
// is then no longer the picture.
bool RingPicture::convertNewest(std::uint8_t* destination) {
    if (!reader_ || reader_->header().state == RingState::initialised) {
        return false;
    }
    std::uint32_t shown = 0;
    const auto result = reader_->useNewest(
        [&](const std::uint8_t* pixels, FrameSize size, std::uint32_t frameNumber) {
            converter_.convert(pixels, size, destination);
            shown = frameNumber;
        });
    if (result != FrameRingReader::ReadOutcome::frame) {
        return false;
    }
    shownFrame_ = shown;
    return true;
}

VirtualCameraBridge::VirtualCameraBridge(BridgeSettings settings, SinkOpener openSink)
    : picture_(std::move(settings)),
      openSink_(std::move(openSink)),
      output_(picture_.frameBytes()) {}

BridgeFrame VirtualCameraBridge::step(std::uint64_t now) {
    const BridgeFrame frame = picture_.render(now, output_.data());
    return write() ? frame : BridgeFrame::notWritten;
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
