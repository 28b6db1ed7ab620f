#include "velvix/pipeline/frame_ring.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>

#include "velvix/platform/log.hpp"

namespace velvix {
namespace {

constexpr std::uint32_t roundDown32(std::uint64_t value) {
    return static_cast<std::uint32_t>(value & ~std::uint64_t{31});
}

template <typename T>
T loadShared(const T& field, std::memory_order order = std::memory_order_relaxed) {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(order);
}

template <typename T>
void storeShared(T& field, T value, std::memory_order order = std::memory_order_relaxed) {
    std::atomic_ref<T>(field).store(value, order);
}

std::string sizeText(FrameSize size) {
    return std::to_string(size.width) + " x " + std::to_string(size.height);
}

std::string ringText(std::string_view name) {
    return "frame ring \"" + std::string(name) + "\"";
}

// Width and height lie side by side at an 8-byte boundary, so that a size is written and read
// in one piece: a writer never sees the new width with the old height.
std::uint64_t& sizeFieldsOf(const platform::SharedSection& section) {
    static_assert(offsetof(RingHeader, width) % 8 == 0 &&
                  offsetof(RingHeader, height) == offsetof(RingHeader, width) + 4);
    return *reinterpret_cast<std::uint64_t*>(section.data() + offsetof(RingHeader, width));
}

FrameSize sizeFromFields(std::uint64_t fields) {
    return {static_cast<std::int32_t>(static_cast<std::uint32_t>(fields & 0xFFFFFFFFu)),
            static_cast<std::int32_t>(static_cast<std::uint32_t>(fields >> 32))};
}

std::uint64_t fieldsFromSize(FrameSize size) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(size.width)) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(size.height)) << 32;
}

RingHeader& headerOf(const platform::SharedSection& section) {
    return *reinterpret_cast<RingHeader*>(section.data());
}

// The mapped bytes that the section still has: a reader must not touch any beyond them.
std::size_t presentBytes(const platform::SharedSection& section) {
    return std::min(section.size(), section.currentSize());
}

// The layout the header describes, if it fits in the section.
std::optional<RingLayout> layoutOfSection(const platform::SharedSection& section,
                                          FrameSize& described) {
    const std::size_t present = presentBytes(section);
    if (present < kRingHeaderBytes) {
        return std::nullopt;
    }
    described = sizeFromFields(loadShared(sizeFieldsOf(section)));
    auto layout = RingLayout::forSize(described);
    if (!layout || layout->totalBytes > present) {
        return std::nullopt;
    }
    return layout;
}

std::string writtenElsewhereText(std::string_view name) {
    return ringText(name) +
           ": another Velvix is running and writing into it; running without a ring until it "
           "stops (or use --ring with another name)";
}

}  // namespace

std::optional<RingLayout> RingLayout::forSize(FrameSize size) {
    if (size.width <= 0 || size.height <= 0 || size.width > kMaxRingWidth ||
        size.height > kMaxRingHeight) {
        return std::nullopt;
    }
    RingLayout layout;
    layout.size = size;
    layout.frameBytes = static_cast<std::uint32_t>(size.pixels() * 3);
    const std::uint64_t frame = layout.frameBytes;
    layout.slotOffset[0] = kRingHeaderBytes;
    layout.slotOffset[1] = roundDown32(frame + 159);
    layout.slotOffset[2] = roundDown32(std::uint64_t{layout.slotOffset[1]} + frame + 63);
    layout.totalBytes = roundDown32(std::uint64_t{layout.slotOffset[2]} + frame + 63);
    return layout;
}

std::string ringSectionProblem(std::string_view name, const platform::SharedSection& section) {
    std::string text = ringText(name) + ": " + section.errorText();
    if (section.error() == platform::SectionError::notPrivate) {
        text += " or use --ring with another name";
    }
    return text;
}

bool copyMayBeTorn(std::uint32_t frameNumber, std::uint32_t writeCountAfter) {
    const std::uint32_t started = writeCountAfter - frameNumber;
    if (started >= 2) {
        return true;
    }
    return started == 1 && slotForFrame(writeCountAfter) == slotForFrame(frameNumber);
}

FrameRing::FrameRing(platform::SharedSection section, RingLayout layout, bool initialisedHere)
    : section_(std::move(section)), layout_(layout), initialisedHere_(initialisedHere) {}

RingHeader& FrameRing::header() const {
    return headerOf(section_);
}

std::optional<FrameRing> FrameRing::attach(std::string_view name, platform::DebugOnce& debug) {
    auto section = platform::SharedSection::open(name, platform::SharedSection::Access::readWrite);
    if (!section.isOpen()) {
        if (section.error() == platform::SectionError::notPrivate) {
            debug.say(platform::LogCategory::ring, platform::LogSeverity::warn,
                      ringSectionProblem(name, section));
        }
        return std::nullopt;
    }
    if (!section.tryLockForWriting()) {
        debug.say(platform::LogCategory::ring, platform::LogSeverity::warn,
                  writtenElsewhereText(name));
        return std::nullopt;
    }
    FrameSize described;
    std::optional<RingLayout> layout;
    platform::accessSections([&] { layout = layoutOfSection(section, described); });
    if (!layout) {
        debug.say(platform::LogCategory::ring, platform::LogSeverity::warn,
                  ringText(name) + ": the header asks for " + sizeText(described) + " in " +
                      std::to_string(section.size()) +
                      " bytes, which is not a usable ring; making a new one");
        return std::nullopt;
    }
    debug.say(platform::LogCategory::ring, platform::LogSeverity::notice,
              ringText(name) + ": attached at " + sizeText(layout->size));
    return FrameRing(std::move(section), *layout, false);
}

Result<FrameRing, RingError> FrameRing::create(std::string_view name, FrameSize size,
                                               platform::DebugOnce& debug) {
    auto fail = [&](RingError reason, const std::string& text) {
        debug.say(platform::LogCategory::ring, platform::LogSeverity::warn, text);
        return Failure<RingError>{text, reason};
    };
    const auto layout = RingLayout::forSize(size);
    if (!layout) {
        return fail(RingError::unusableSize,
                    ringText(name) + ": " + sizeText(size) + " is not a frame size it can carry");
    }
    auto section = platform::SharedSection::openOrCreate(name, layout->totalBytes);
    if (!section.isOpen()) {
        const bool refused = section.error() == platform::SectionError::notPrivate;
        return fail(refused ? RingError::sectionNotPrivate : RingError::sectionUnavailable,
                    ringSectionProblem(name, section));
    }
    // The lock comes before anything is read or written: the other writer owns the ring.
    if (!section.tryLockForWriting()) {
        return fail(RingError::writtenElsewhere, writtenElsewhereText(name));
    }
    if (section.size() < layout->totalBytes) {
        return fail(RingError::sectionTooSmall, ringText(name) + ": the section holds " +
                                                    std::to_string(section.size()) + " bytes, " +
                                                    std::to_string(layout->totalBytes) +
                                                    " needed for " + sizeText(size));
    }
    FrameRing ring(std::move(section), *layout, true);
    if (!ring.initialiseHeader()) {
        return fail(RingError::sectionUnavailable,
                    ringText(name) + ": its section was cut down while the ring was made");
    }
    debug.say(platform::LogCategory::ring, platform::LogSeverity::notice,
              ringText(name) + ": created at " + sizeText(size) + " (" +
                  std::to_string(layout->totalBytes) + " bytes)");
    return ring;
}

bool FrameRing::initialiseHeader() {
    return platform::accessSections([this] {
        RingHeader& h = header();
        storeShared(h.writeCount, 0u);
        storeShared(h.readyCount, 0u);
        storeShared(h.state, RingState::initialised);
        for (int slot = 0; slot < kRingSlots; ++slot) {
            storeShared(h.slotOffset[slot], layout_.slotOffset[static_cast<std::size_t>(slot)]);
        }
        storeShared(sizeFieldsOf(section_), fieldsFromSize(layout_.size));
        storeShared(h.frameInterval, static_cast<std::int64_t>(kFramePeriod));
        std::memset(h.reserved, 0, sizeof h.reserved);
        std::atomic_thread_fence(std::memory_order_release);
    });
}

std::optional<FrameSize> FrameRing::requestedSize() const {
    std::uint64_t fields = 0;
    if (!sectionIntact() ||
        !platform::accessSections([&] { fields = loadShared(sizeFieldsOf(section_)); })) {
        return std::nullopt;
    }
    return sizeFromFields(fields);
}

bool FrameRing::sectionIntact() const {
    return section_.currentSize() >= layout_.totalBytes;
}

bool FrameRing::publish(const std::uint8_t* frame) {
    return platform::accessSections([this, frame] {
        RingHeader& h = header();
        const std::uint32_t frameNumber = loadShared(h.writeCount) + 1u;
        storeShared(h.writeCount, frameNumber);
        // Readers check writeCount after copying a slot: it must be visible before the pixels
        // move.
        std::atomic_thread_fence(std::memory_order_release);
        const int slot = slotForFrame(frameNumber);
        std::byte* slotHeader =
            section_.data() + layout_.slotOffset[static_cast<std::size_t>(slot)];
        storeShared(*reinterpret_cast<std::uint64_t*>(slotHeader), std::uint64_t{0});
        std::memcpy(section_.data() + layout_.pixelOffset(slot), frame, layout_.frameBytes);
        storeShared(h.readyCount, frameNumber, std::memory_order_release);
        storeShared(h.state, RingState::hasFrame, std::memory_order_release);
    });
}

void FrameRing::detach() {
    if (initialisedHere_) {
        platform::accessSections([this] {
            storeShared(header().state, RingState::resizing, std::memory_order_release);
        });
    }
    section_.close();
}

void FrameRing::endPublishing() {
    platform::accessSections(
        [this] { storeShared(header().state, RingState::initialised, std::memory_order_release); });
}

FrameRingReader FrameRingReader::open(std::string_view name) {
    return FrameRingReader(
        platform::SharedSection::open(name, platform::SharedSection::Access::readOnly));
}

RingHeaderSnapshot FrameRingReader::header() const {
    RingHeaderSnapshot snapshot;
    if (presentBytes(section_) < kRingHeaderBytes) {
        return snapshot;
    }
    const RingHeader& h = headerOf(section_);
    const bool read = platform::accessSections([&] {
        snapshot.writeCount = loadShared(h.writeCount, std::memory_order_acquire);
        snapshot.readyCount = loadShared(h.readyCount, std::memory_order_acquire);
        snapshot.state = loadShared(h.state, std::memory_order_acquire);
        for (int slot = 0; slot < kRingSlots; ++slot) {
            snapshot.slotOffset[static_cast<std::size_t>(slot)] = loadShared(h.slotOffset[slot]);
        }
        const FrameSize size = sizeFromFields(loadShared(sizeFieldsOf(section_)));
        snapshot.width = size.width;
        snapshot.height = size.height;
        snapshot.frameInterval = loadShared(h.frameInterval);
    });
    return read ? snapshot : RingHeaderSnapshot{};
}

std::uint32_t FrameRingReader::readyCount() const {
    std::uint32_t count = 0;
    if (presentBytes(section_) >= kRingHeaderBytes) {
        platform::accessSections(
            [&] { count = loadShared(headerOf(section_).readyCount, std::memory_order_acquire); });
    }
    return count;
}

FrameRingReader::ReadOutcome FrameRingReader::readNewest(RingFrame& frame, int attempts) const {
    // Grown outside the guarded access, which must not allocate; never shrunk before a frame is
    // taken, so that the frame the caller holds stays whole.
    frame.pixels.resize(std::max(frame.pixels.size(), describedFrameBytes()));
    FrameSize size;
    std::uint32_t number = 0;
    bool fitted = false;
    const ReadOutcome result = useNewest(
        [&](const std::uint8_t* pixels, FrameSize pixelsSize, std::uint32_t frameNumber) {
            const auto bytes = static_cast<std::size_t>(pixelsSize.pixels()) * 3;
            fitted = bytes <= frame.pixels.size();
            if (fitted) {
                std::memcpy(frame.pixels.data(), pixels, bytes);
            }
            size = pixelsSize;
            number = frameNumber;
        },
        attempts);
    if (result != ReadOutcome::frame) {
        return result;
    }
    if (!fitted) {
        return ReadOutcome::busy;  // the size changed since the buffer was sized
    }
    frame.pixels.resize(static_cast<std::size_t>(size.pixels()) *
                        3);  // shrinking allocates nothing
    frame.size = size;
    frame.frameNumber = number;
    return ReadOutcome::frame;
}

FrameRingReader::ReadOutcome FrameRingReader::useNewest(const PixelUse& use, int attempts) const {
    if (!isOpen()) {
        return ReadOutcome::unusable;
    }
    for (int attempt = 0; attempt < attempts; ++attempt) {
        ReadOutcome result = ReadOutcome::unusable;
        if (!platform::accessSections([&] { result = useNewestOnce(use); })) {
            return ReadOutcome::unusable;  // the section was cut down under the access
        }
        if (result != ReadOutcome::busy) {
            return result;
        }
    }
    return ReadOutcome::busy;
}

std::size_t FrameRingReader::describedFrameBytes() const {
    std::optional<RingLayout> layout;
    platform::accessSections([&] {
        FrameSize described;
        layout = layoutOfSection(section_, described);
    });
    return layout ? layout->frameBytes : 0;
}

FrameRingReader::ReadOutcome FrameRingReader::useNewestOnce(const PixelUse& use) const {
    if (presentBytes(section_) < kRingHeaderBytes) {
        return ReadOutcome::unusable;
    }
    const RingHeader& h = headerOf(section_);
    if (loadShared(h.state, std::memory_order_acquire) != RingState::hasFrame) {
        return ReadOutcome::noFrame;
    }
    const std::uint32_t frameNumber = loadShared(h.readyCount, std::memory_order_acquire);
    FrameSize described;
    const auto layout = layoutOfSection(section_, described);
    if (!layout) {
        return ReadOutcome::unusable;
    }
    const int slot = slotForFrame(frameNumber);
    use(reinterpret_cast<const std::uint8_t*>(section_.data() + layout->pixelOffset(slot)),
        layout->size, frameNumber);
    std::atomic_thread_fence(std::memory_order_acquire);
    const std::uint32_t writeCountAfter = loadShared(h.writeCount);
    const FrameSize sizeAfter = sizeFromFields(loadShared(sizeFieldsOf(section_)));
    if (copyMayBeTorn(frameNumber, writeCountAfter) || sizeAfter != layout->size ||
        loadShared(h.state) != RingState::hasFrame) {
        return ReadOutcome::busy;
    }
    return ReadOutcome::frame;
}

}  // namespace velvix

namespace velvix {

Result<> requestRingSize(std::string_view name, FrameSize size) {
    const auto layout = RingLayout::forSize(size);
    if (!layout) {
        return Failure{sizeText(size) + " is not a frame size the ring can carry"};
    }
    const auto existing =
        platform::SharedSection::open(name, platform::SharedSection::Access::readOnly);
    if (!existing.isOpen()) {
        return Failure{ringSectionProblem(name, existing)};
    }
    if (const auto grown = platform::SharedSection::growTo(name, layout->totalBytes); !grown) {
        return Failure{ringText(name) + ": " + grown.error()};
    }
    auto section = platform::SharedSection::open(name, platform::SharedSection::Access::readWrite);
    if (!section.isOpen()) {
        return Failure{ringSectionProblem(name, section)};
    }
    if (presentBytes(section) < kRingHeaderBytes) {
        return Failure{ringText(name) + " is too small for its header"};
    }
    if (!platform::accessSections([&] {
            storeShared(sizeFieldsOf(section), fieldsFromSize(size), std::memory_order_release);
        })) {
        return Failure{ringText(name) + ": its section was cut down under the request"};
    }
    return {};
}

}  // namespace velvix
