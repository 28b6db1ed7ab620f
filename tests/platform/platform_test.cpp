#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "section_access.hpp"
#include "test_support.hpp"
#include "velvix/platform/clock.hpp"
#include "velvix/platform/input_lines.hpp"
#include "velvix/platform/shared_memory.hpp"

namespace velvix::platform {
namespace {

using testing::ScopedRingName;

TEST(SharedSection, OpeningAMissingSectionSaysSo) {
    ScopedRingName name;
    const auto section = SharedSection::open(name.get(), SharedSection::Access::readOnly);
    EXPECT_FALSE(section.isOpen());
    EXPECT_EQ(section.error(), SectionError::notFound);
    EXPECT_NE(section.errorText().find(name.get()), std::string::npos);
}

TEST(SharedSection, CreatesOwnerOnlyAndSharesTheBytes) {
    ScopedRingName name;
    auto created = SharedSection::openOrCreate(name.get(), 10000);
    ASSERT_TRUE(created.isOpen());
    EXPECT_TRUE(created.createdHere());
    // Windows rounds sections up to whole pages.
    EXPECT_GE(created.size(), 10000u);
    EXPECT_TRUE(testing::sectionIsOwnerOnly(name.get()));

    std::memcpy(created.data(), "frame", 5);
    const auto reader = SharedSection::open(name.get(), SharedSection::Access::readOnly);
    ASSERT_TRUE(reader.isOpen());
    EXPECT_EQ(std::memcmp(reader.data(), "frame", 5), 0);
}

TEST(SharedSection, AnExistingSectionKeepsItsSize) {
    ScopedRingName name;
    auto first = SharedSection::openOrCreate(name.get(), 4096);
    auto second = SharedSection::openOrCreate(name.get(), 1 << 20);
    ASSERT_TRUE(second.isOpen());
    EXPECT_FALSE(second.createdHere());
    EXPECT_EQ(second.size(), first.size());
}

TEST(SharedSection, ASectionThatIsNotTheOwnersAloneIsRefused) {
    ScopedRingName name;
    const testing::UnusableSection unusable(name.get());
    ASSERT_TRUE(unusable.made());
    const auto opened = SharedSection::open(name.get(), SharedSection::Access::readOnly);
    EXPECT_FALSE(opened.isOpen());
    EXPECT_FALSE(SharedSection::openOrCreate(name.get(), 4096).isOpen());
}

TEST(SharedSection, MovesAndClosesCleanly) {
    ScopedRingName name;
    auto section = SharedSection::openOrCreate(name.get(), 4096);
    SharedSection moved = std::move(section);
    EXPECT_FALSE(section.isOpen());
    EXPECT_TRUE(moved.isOpen());
    moved.close();
    EXPECT_FALSE(moved.isOpen());
    EXPECT_EQ(moved.size(), 0u);
}

TEST(Clock, CountsInHundredsOfNanoseconds) {
    const std::uint64_t before = clockNow100ns();
    sleepMilliseconds(20);
    const std::uint64_t elapsed = clockNow100ns() - before;
    EXPECT_GE(elapsed, 200'000u);
    EXPECT_LT(elapsed, 200'000u * 50);
}

TEST(InputLines, SplitsLinesAndKeepsAnUnfinishedOneUntilInputEnds) {
    std::string pending = "first\r\nsecond\n\nthird";
    std::string line;
    std::vector<std::string> lines;
    while (takeLine(pending, false, line)) {
        lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "second", ""}));
    EXPECT_EQ(pending, "third");
    ASSERT_TRUE(takeLine(pending, true, line));
    EXPECT_EQ(line, "third");
    EXPECT_FALSE(takeLine(pending, true, line));
}

}  // namespace
}  // namespace velvix::platform
