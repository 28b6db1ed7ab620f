#include "velvix/pipeline/frame_ring.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "section_access.hpp"
#include "test_support.hpp"

namespace velvix {
namespace {

using platform::SharedSection;
using testing::ScopedRingName;

std::vector<std::uint8_t> frameFilledWith(FrameSize size, std::uint8_t value) {
    return std::vector<std::uint8_t>(static_cast<std::size_t>(size.pixels()) * 3, value);
}

RingHeader& headerOf(SharedSection& section) {
    return *reinterpret_cast<RingHeader*>(section.data());
}

// The offsets readers of other programs rely on. A new ring: the header a reader expects, a
// section only its owner may open, the header's unwritten bytes and the slots' headers left
// alone. Frame n goes into slot n mod 3, the write count wrapping round: two consecutive frames
// share slot 0 there.
TEST(FrameRing, CreatesTheDocumentedHeaderAndPublishesFrameNIntoSlotNModThree) {
    for (const auto& [size, slotOffsets, totalBytes] :
         {std::tuple{FrameSize{1280, 720}, std::array<std::uint32_t, 3>{96, 2'764'928, 5'529'760},
                     8'294'592u},
          {FrameSize{640, 480}, {96, 921'728, 1'843'360}, 2'764'992u}}) {
        const auto layout = RingLayout::forSize(size);
        ASSERT_TRUE(layout);
        EXPECT_EQ(layout->slotOffset, slotOffsets);
        EXPECT_EQ(layout->totalBytes, totalBytes);
        EXPECT_EQ(layout->pixelOffset(0), 128u);
    }
    ScopedRingName name;
    platform::DebugOnce debug;
    const FrameSize size{64, 32};
    const auto layout = *RingLayout::forSize(size);
    auto section = SharedSection::openOrCreate(name.get(), layout.totalBytes);
    std::memset(section.data(), 0xAB, section.size());
    auto ring = FrameRing::create(name.get(), size, debug);
    ASSERT_TRUE(ring);
    // Exactly the layout's bytes on Linux; Windows rounds sections up to whole pages.
    EXPECT_LT(ring->sectionBytes() - layout.totalBytes, 65'536u);
    EXPECT_TRUE(testing::sectionIsOwnerOnly(name.get()));
    auto reader = FrameRingReader::open(name.get());
    const auto header = reader.header();
    EXPECT_EQ(header.readyCount, 0u);
    EXPECT_EQ(header.state, RingState::initialised);
    EXPECT_EQ(header.slotOffset, layout.slotOffset);
    EXPECT_EQ((FrameSize{header.width, header.height}), size);
    EXPECT_EQ(header.frameInterval, 333'333);
    const RingHeader& written = headerOf(section);
    EXPECT_TRUE(std::all_of(std::begin(written.reserved), std::end(written.reserved),
                            [](std::uint8_t byte) { return byte == 0; }));
    EXPECT_TRUE(std::all_of(std::begin(written.unused), std::end(written.unused),
                            [](std::uint8_t byte) { return byte == 0xAB; }));
    EXPECT_EQ(std::to_integer<int>(section.data()[layout.slotOffset[1]]), 0xAB);

    const std::pair<std::uint32_t, int> frames[] = {
        {1, 1}, {2, 2}, {3, 0}, {4, 1}, {4'294'967'295u, 0}, {0, 0}, {1, 1}};
    for (std::size_t i = 0; i < std::size(frames); ++i) {
        const auto [number, slot] = frames[i];
        if (i == 4) {
            headerOf(section).writeCount = number - 1;
        }
        const auto value = static_cast<std::uint8_t>(10 + i);
        // A stale tag shows whether the writer cleared the slot it wrote.
        std::memset(section.data() + layout.slotOffset[static_cast<std::size_t>(slot)], 0xFF, 8);
        ring->publish(frameFilledWith(size, value).data());
        std::uint64_t tag = 1;
        std::memcpy(&tag, section.data() + layout.slotOffset[static_cast<std::size_t>(slot)], 8);
        EXPECT_EQ(tag, 0u);
        EXPECT_EQ(std::to_integer<int>(section.data()[layout.pixelOffset(slot)]), value) << i;
        RingFrame frame;
        ASSERT_EQ(reader.readNewest(frame), FrameRingReader::ReadOutcome::frame) << i;
        EXPECT_EQ(frame.frameNumber, number);
        EXPECT_EQ(frame.pixels, frameFilledWith(size, value));
    }
}

TEST(FrameRing, ReaderTreatsOvertakenSlotsAsTorn) {
    // Around the wrap two consecutive frames share slot 0; a ring re-created meanwhile starts
    // counting from 0 again.
    for (const auto& [read, now, torn] : {std::tuple{10u, 10u, false},
                                          {10u, 11u, false},
                                          {10u, 12u, true},
                                          {4'294'967'295u, 0u, true},
                                          {4'294'967'294u, 4'294'967'295u, false},
                                          {500u, 0u, true}}) {
        EXPECT_EQ(copyMayBeTorn(read, now), torn) << read << " " << now;
    }
}

// Headers another process may have written: attach refuses them, and create repairs them where
// the section is large enough.
TEST(FrameRing, AttachRefusesAHostileHeaderAndCreateRepairsItWhereTheSectionAllows) {
    for (const auto& [what, described, sectionBytes] :
         {std::tuple{"zero width", FrameSize{0, 720}, std::size_t{1} << 20},
          {"negative height", {1280, -720}, 1 << 20},
          {"absurd size", {1 << 30, 1 << 30}, 1 << 20},
          {"product overflows", {65536, 65537}, 1 << 20},
          {"section too small", {1280, 720}, 1 << 20},
          {"section smaller than the header", {64, 32}, 40}}) {
        SCOPED_TRACE(what);
        ScopedRingName name;
        platform::DebugOnce debug;
        auto foreign = SharedSection::openOrCreate(name.get(), sectionBytes);
        if (foreign.size() >= sizeof(RingHeader)) {
            headerOf(foreign).width = described.width;
            headerOf(foreign).height = described.height;
            headerOf(foreign).state = RingState::hasFrame;
        }
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(FrameRing::attach(name.get(), debug));
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("not a usable ring"), std::string::npos) << said;
        if (sectionBytes >= sizeof(RingHeader)) {
            RingFrame frame;
            EXPECT_EQ(FrameRingReader::open(name.get()).readNewest(frame),
                      FrameRingReader::ReadOutcome::unusable);
        }
        const FrameSize small{64, 32};
        auto ring = FrameRing::create(name.get(), small, debug);
        ASSERT_EQ(ring.ok(), sectionBytes >= RingLayout::forSize(small)->totalBytes);
        if (ring) {
            ring->publish(frameFilledWith(small, 7).data());
            EXPECT_EQ(headerOf(foreign).width, 64);
        }
    }
}

// A section planted by someone else, holding a ring with a picture of their choosing.
TEST(FrameRing, NeitherWriterNorReaderUsesASectionOthersMayOpen) {
    ScopedRingName name;
    const auto layout = *RingLayout::forSize({64, 32});
    const testing::PlantedSection planted(name.get(), layout.totalBytes, 0xAB);
    ASSERT_TRUE(planted.made());
    platform::DebugOnce debug;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(FrameRing::attach(name.get(), debug));
    const RingError error = FrameRing::create(name.get(), {64, 32}, debug).reason();
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(error, RingError::sectionNotPrivate);
    // One line, said once, naming the object, its owner and access and what to do.
    EXPECT_EQ(testing::countLinesWith(said, "refusing"), 1) << said;
#ifdef _WIN32
    const std::vector<std::string> parts = {"Local\\\\" + name.get(), "belongs to you",
                                            "grants access to others", "end the program",
                                            "or use --ring with another name"};
#else
    const std::string path = SharedSection::location(name.get());
    const std::vector<std::string> parts = {path, "mode 0666", "rm " + path,
                                            "or use --ring with another name"};
#endif
    for (const std::string& part : parts) {
        EXPECT_NE(said.find(part), std::string::npos) << part << " in: " << said;
    }
    EXPECT_EQ(testing::sectionBytes(name.get(), layout.totalBytes),
              std::vector<std::uint8_t>(layout.totalBytes, 0xAB));
    EXPECT_FALSE(FrameRingReader::open(name.get()).isOpen());
    EXPECT_FALSE(requestRingSize(name.get(), {32, 16}));
}

}  // namespace
}  // namespace velvix
