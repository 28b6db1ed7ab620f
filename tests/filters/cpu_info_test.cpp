#include "velvix/platform/cpu_info.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace velvix {
namespace {

// A processor described by the registers its CPUID leaves return.
class FakeProcessor {
  public:
    FakeProcessor& leaf(std::uint32_t number, CpuidResult result) {
        leaves_[number] = result;
        return *this;
    }
    CpuidFunction cpuid() const {
        return [leaves = leaves_](std::uint32_t number, std::uint32_t) {
            const auto found = leaves.find(number);
            return found == leaves.end() ? CpuidResult{} : found->second;
        };
    }

  private:
    std::map<std::uint32_t, CpuidResult> leaves_;
};

std::uint32_t word(const char* four) {
    std::uint32_t value = 0;
    std::memcpy(&value, four, 4);
    return value;
}

CpuidResult vendorLeaf(std::uint32_t highest, const char* twelve) {
    return {highest, word(twelve), word(twelve + 8), word(twelve + 4)};
}

TEST(CpuInfo, ReadsVendorAndFeatureWords) {
    FakeProcessor processor;
    processor.leaf(0, vendorLeaf(7, "GenuineIntel"))
        .leaf(1, {0, 0, 0x1000, 0x2000})
        .leaf(7, {0, 1u << 5, 0x55, 0})
        .leaf(0x80000000u, {0x80000001u, 0, 0, 0})
        .leaf(0x80000001u, {0, 0, 0x21, 0x2c});
    const CpuInfo info(processor.cpuid());
    EXPECT_EQ(info.highestLeaf, 7);
    EXPECT_EQ(info.vendor, "GenuineIntel");
    EXPECT_TRUE(info.isIntel);
    EXPECT_FALSE(info.isAMD);
    EXPECT_EQ(info.leaf1Ecx, 0x1000u);
    EXPECT_EQ(info.leaf1Edx, 0x2000u);
    EXPECT_EQ(info.leaf7Ebx, 1u << 5);
    EXPECT_EQ(info.leaf7Ecx, 0x55u);
    EXPECT_EQ(info.ext1Ecx, 0x21u);
    EXPECT_EQ(info.ext1Edx, 0x2cu);
    EXPECT_EQ(info.leaves.size(), 8u);
    EXPECT_EQ(info.extendedLeaves.size(), 2u);
    EXPECT_TRUE(info.brand.empty());
    EXPECT_TRUE(avx2FromCpuInfo(info));
}

TEST(CpuInfo, Avx2IsBitFiveOfLeafSevenAlone) {
    FakeProcessor withoutAvx2;
    withoutAvx2.leaf(0, vendorLeaf(7, "AuthenticAMD"))
        .leaf(1, {0, 0, 0xFFFFFFFFu, 0xFFFFFFFFu})  // every other feature, FMA included
        .leaf(7, {0, ~(1u << 5), 0xFFFFFFFFu, 0});
    const CpuInfo amd(withoutAvx2.cpuid());
    EXPECT_TRUE(amd.isAMD);
    EXPECT_FALSE(avx2FromCpuInfo(amd));

    FakeProcessor oldProcessor;
    oldProcessor.leaf(0, vendorLeaf(6, "GenuineIntel")).leaf(7, {0, 1u << 5, 0, 0});
    const CpuInfo old(oldProcessor.cpuid());
    EXPECT_EQ(old.leaf7Ebx, 0u);
    EXPECT_FALSE(avx2FromCpuInfo(old));
}

TEST(CpuInfo, OtherVendorsAreNeitherIntelNorAmd) {
    FakeProcessor processor;
    processor.leaf(0, vendorLeaf(7, "HygonGenuine")).leaf(7, {0, 1u << 5, 0, 0});
    const CpuInfo info(processor.cpuid());
    EXPECT_EQ(info.vendor, "HygonGenuine");
    EXPECT_FALSE(info.isIntel);
    EXPECT_FALSE(info.isAMD);
    EXPECT_TRUE(avx2FromCpuInfo(info));
}

TEST(CpuInfo, ReadsTheBrandOnlyWhenLeaf80000004Exists) {
    const char brand[49] = "Example Processor @ 3.0GHz";
    auto brandLeaf = [&](int index) {
        const char* part = brand + 16 * index;
        return CpuidResult{word(part), word(part + 4), word(part + 8), word(part + 12)};
    };
    FakeProcessor processor;
    processor.leaf(0, vendorLeaf(1, "GenuineIntel"))
        .leaf(0x80000002u, brandLeaf(0))
        .leaf(0x80000003u, brandLeaf(1))
        .leaf(0x80000004u, brandLeaf(2));

    processor.leaf(0x80000000u, {0x80000004u, 0, 0, 0});
    EXPECT_EQ(CpuInfo(processor.cpuid()).brand, "Example Processor @ 3.0GHz");

    processor.leaf(0x80000000u, {0x80000003u, 0, 0, 0});
    EXPECT_EQ(CpuInfo(processor.cpuid()).brand, "");
}

TEST(CpuInfo, ThisProcessorIsRead) {
    EXPECT_GE(cpuInfo.highestLeaf, 1);
    EXPECT_EQ(cpuInfo.vendor.size(), 12u);
    EXPECT_EQ(hasAVX2, avx2FromCpuInfo(cpuInfo));
}

}  // namespace
}  // namespace velvix
