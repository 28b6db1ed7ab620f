#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velvix/base/result.hpp"
#include "velvix/pipeline/frame_size.hpp"
#include "velvix/platform/log.hpp"
#include "velvix/platform/shared_memory.hpp"

// The frame ring: a named shared-memory section with a 96-byte header and three slots, each a
// 32-byte slot header followed by one frame of 3-byte pixels (blue, green, red; bottom row
// first). The frame worker is its only writer; a virtual camera reads the newest frame.
namespace velvix {

inline constexpr char kRingName[] = "VelvixShm";
inline constexpr std::size_t kRingHeaderBytes = 96;
inline constexpr std::size_t kSlotHeaderBytes = 32;
inline constexpr int kRingSlots = 3;
// Larger frames are taken for a damaged or hostile header.
inline constexpr int kMaxRingWidth = 7680;
inline constexpr int kMaxRingHeight = 4320;

// The header's state field; the values are those of the section's layout.
enum class RingState : std::uint32_t {
    initialised = 1,  // no frame: none written yet, the camera is lost, or the writer stopped
    hasFrame = 2,     // at least one complete frame is available
    resizing = 3,     // the writer is re-creating the ring at another size
};

// The header as it lies in the section (little-endian).
struct RingHeader {
    std::uint32_t writeCount;  // number of the frame most recently started
    std::uint32_t readyCount;  // number of the frame most recently completed
    RingState state;
    std::uint32_t slotOffset[kRingSlots];
    std::int32_t width;
    std::int32_t height;
    std::int64_t frameInterval;  // 100 ns units
    std::uint8_t reserved[32];
    std::uint8_t unused[24];  // never written by the writer
};
static_assert(sizeof(RingHeader) == kRingHeaderBytes);
static_assert(offsetof(RingHeader, state) == 8 && sizeof(RingState) == 4);

// Where everything lies for one frame size. Offsets are 32-bit, as both sides compute them.
struct RingLayout {
    FrameSize size;
    std::uint32_t frameBytes = 0;
    std::array<std::uint32_t, kRingSlots> slotOffset{};  // slot headers; pixels follow
    std::uint32_t totalBytes = 0;

    // Nothing for sizes that are not positive or larger than the ring carries.
    static std::optional<RingLayout> forSize(FrameSize size);
    std::uint32_t pixelOffset(int slot) const {
        return slotOffset[static_cast<std::size_t>(slot)] + kSlotHeaderBytes;
    }
};

// The slot that frame number n goes to.
inline int slotForFrame(std::uint32_t frameNumber) {
    return static_cast<int>(frameNumber % kRingSlots);
}

// Why the writer could not have the ring.
enum class RingError {
    unusableSize,
    sectionUnavailable,
    sectionTooSmall,
    sectionNotPrivate,  // another user's, or open to others: never written
    writtenElsewhere,   // another writer holds the ring's lock
};

// What a person can do about a ring section that could not be opened, in one line.
std::string ringSectionProblem(std::string_view name, const platform::SharedSection& section);

// The writer's side of the ring. A writer holds the section's writer lock for as long as it
// has the ring, so that two programs never write into one ring; it writes only into a section
// that is the user's alone.
class FrameRing {
  public:
    // Maps a ring that exists already, taking its frame size from the header and writing
    // nothing. Nothing when there is no ring, when its header does not describe a usable one,
    // or when the section is refused or another writer has it (said on the debug output).
    static std::optional<FrameRing> attach(std::string_view name, platform::DebugOnce& debug);
    // Opens or creates the section and initialises the header for `size`. An existing
    // section keeps its size and must be large enough. A failure is said on the debug output
    // as well.
    static Result<FrameRing, RingError> create(std::string_view name, FrameSize size,
                                               platform::DebugOnce& debug);

    FrameRing(FrameRing&&) = default;
    FrameRing& operator=(FrameRing&&) = default;
    // Unmaps the section and gives up the lock; the header stays as it is for the readers.
    ~FrameRing() = default;

    FrameSize size() const { return layout_.size; }
    // The size the header asks for now; another process may have changed it. Nothing when the
    // section is no longer intact.
    std::optional<FrameSize> requestedSize() const;
    bool initialisedHere() const { return initialisedHere_; }
    std::size_t sectionBytes() const { return section_.size(); }
    // False when the section has shrunk below the ring since it was mapped (its owner may
    // truncate it): then nothing of it may be touched any more, not even the header.
    bool sectionIntact() const;

    // Writes one frame of size() into the next slot. False when the section was cut down under
    // the copy, which then ends the copy instead of the program.
    bool publish(const std::uint8_t* frame);
    // Marks the ring as being re-created (when this process wrote its header) and unmaps it.
    void detach();
    // Marks the ring as holding no frame, as the writer stops, so that readers show no frame
    // instead of the last one as if it were live.
    void endPublishing();

  private:
    FrameRing(platform::SharedSection section, RingLayout layout, bool initialisedHere);
    RingHeader& header() const;
    bool initialiseHeader();

    platform::SharedSection section_;
    RingLayout layout_;
    bool initialisedHere_;
};

// Every header field, as a reader saw them at one moment.
struct RingHeaderSnapshot {
    std::uint32_t writeCount = 0;
    std::uint32_t readyCount = 0;
    RingState state{};  // as found: another program may have written any value
    std::array<std::uint32_t, kRingSlots> slotOffset{};
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int64_t frameInterval = 0;
};

struct RingFrame {
    FrameSize size;
    std::uint32_t frameNumber = 0;
    std::vector<std::uint8_t> pixels;  // frame layout, bottom row first
};

// A reader of the ring for tools and tests. It never blocks the writer: it copies the newest
// complete slot and checks afterwards that the writer cannot have reached that slot meanwhile.
// A section cut down under it reads as an empty header and an unusable ring.
class FrameRingReader {
  public:
    enum class ReadOutcome { frame, noFrame, unusable, busy };

    static FrameRingReader open(std::string_view name);

    bool isOpen() const { return section_.isOpen(); }
    const platform::SharedSection& section() const { return section_; }
    RingHeaderSnapshot header() const;
    std::uint32_t readyCount() const;

    // Copies the newest complete frame into `frame`. `busy` when the writer kept overtaking
    // the copy; `unusable` when the header does not describe a ring that fits the section.
    ReadOutcome readNewest(RingFrame& frame, int attempts = 100) const;
    // Hands the newest complete frame's pixels, where they lie in the section, to `use` and
    // checks afterwards, as readNewest does, that the writer cannot have reached them
    // meanwhile; when it may have, `use` gets the newest frame again. Saves the copy for a
    // reader that converts the pixels anyway; `use` must not keep the pointer, and must not
    // allocate: it runs inside a guarded access that a section cut down under it ends.
    using PixelUse =
        std::function<void(const std::uint8_t* pixels, FrameSize size, std::uint32_t frameNumber)>;
    ReadOutcome useNewest(const PixelUse& use, int attempts = 100) const;

  private:
    explicit FrameRingReader(platform::SharedSection section) : section_(std::move(section)) {}
    // The bytes of one frame of the size the header describes; 0 when it describes no ring
    // that fits the section.
    std::size_t describedFrameBytes() const;
    // One attempt at useNewest, inside a guarded access; `busy` when the writer may have
    // overtaken the use or the size changed.
    ReadOutcome useNewestOnce(const PixelUse& use) const;

    platform::SharedSection section_;
};

// Asks the writer of the ring for frames of `size`: makes the section large enough for that
// size, then writes width and height into the header in one store. The writer re-creates the
// ring at the new size on its next frame.
Result<> requestRingSize(std::string_view name, FrameSize size);

// True when a copy of frame `frameNumber` may have been overwritten, given the writer's
// writeCount read after the copy. Two or more frames started since, or one going to the same
// slot (as happens when the count wraps), count as overwritten.
bool copyMayBeTorn(std::uint32_t frameNumber, std::uint32_t writeCountAfter);

}  // namespace velvix
