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

// Only the AVX2 bit counts: not the vendor, not the other features (FMA included), and not a
// leaf 7 beyond the highest leaf the processor reports.
TEST(CpuInfo, Avx2IsBitFiveOfLeafSevenAlone) {
    struct Case {
        const char* vendor;
        std::uint32_t highestLeaf;
        std::uint32_t leaf7Ebx;
        bool avx2;
    };
    for (const Case& c :
         {Case{"GenuineIntel", 7, 1u << 5, true}, Case{"HygonGenuine", 7, 1u << 5, true},
          Case{"AuthenticAMD", 7, ~(1u << 5), false}, Case{"GenuineIntel", 6, 1u << 5, false}}) {
        FakeProcessor processor;
        processor.leaf(0, vendorLeaf(c.highestLeaf, c.vendor))
            .leaf(1, {0, 0, 0xFFFFFFFFu, 0xFFFFFFFFu})
            .leaf(7, {0, c.leaf7Ebx, 0xFFFFFFFFu, 0});
        EXPECT_EQ(avx2FromCpuInfo(CpuInfo(processor.cpuid())), c.avx2)
            << c.vendor << ", highest leaf " << c.highestLeaf;
    }
}

TEST(CpuInfo, ThisProcessorIsRead) {
    EXPECT_GE(cpuInfo.highestLeaf, 1);
    EXPECT_EQ(hasAVX2, avx2FromCpuInfo(cpuInfo));
}

}  // namespace
}  // namespace velvix
