#include "velvix/platform/cpu_info.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace velvix {
namespace {

// A processor described by the registers its CPUID leaves return and the XCR0 its operating
// system has set.
class FakeProcessor {
  public:
    FakeProcessor& leaf(std::uint32_t number, CpuidResult result) {
        leaves_[number] = result;
        return *this;
    }
    FakeProcessor& xcr0(std::uint64_t value) {
        xcr0_ = value;
        return *this;
    }
    CpuidFunction cpuid() const {
        return [leaves = leaves_](std::uint32_t number, std::uint32_t) {
            const auto found = leaves.find(number);
            return found == leaves.end() ? CpuidResult{} : found->second;
        };
    }
    // XGETBV faults where the processor does not report OSXSAVE: the fake counts such calls.
    XgetbvFunction xgetbv() {
        return [this](std::uint32_t) {
            const bool osxsave = (leaves_[1].ecx >> 27) & 1u;
            faultingXgetbvCalls += osxsave ? 0 : 1;
            return xcr0_;
        };
    }
    int faultingXgetbvCalls = 0;

  private:
    std::map<std::uint32_t, CpuidResult> leaves_;
    std::uint64_t xcr0_ = 0;
};

std::uint32_t word(const char* four) {
    std::uint32_t value = 0;
    std::memcpy(&value, four, 4);
    return value;
}

CpuidResult vendorLeaf(std::uint32_t highest, const char* twelve) {
    return {highest, word(twelve), word(twelve + 8), word(twelve + 4)};
}

// The vectorised paths need AVX2, FMA, AVX and OSXSAVE from CPUID and the XMM and YMM state
// enabled in XCR0; the vendor does not count, nor does a leaf 7 beyond the highest leaf.
TEST(CpuInfo, Avx2PathsNeedTheInstructionsAndTheSavedRegisterState) {
    constexpr std::uint32_t fma = 1u << 12;
    constexpr std::uint32_t osxsave = 1u << 27;
    constexpr std::uint32_t avx = 1u << 28;
    constexpr std::uint32_t allOfLeaf1 = fma | osxsave | avx;
    struct Case {
        const char* what;
        const char* vendor;
        std::uint32_t highestLeaf;
        std::uint32_t leaf1Ecx;
        std::uint32_t leaf7Ebx;
        std::uint64_t xcr0;
        bool avx2;
    };
    for (const Case& c : {
             Case{"everything", "GenuineIntel", 7, allOfLeaf1, 1u << 5, 0b111, true},
             Case{"another vendor", "HygonGenuine", 7, allOfLeaf1, 1u << 5, 0b111, true},
             Case{"no AVX2 bit", "AuthenticAMD", 7, ~0u, ~(1u << 5), 0b111, false},
             Case{"no leaf 7", "GenuineIntel", 6, allOfLeaf1, 1u << 5, 0b111, false},
             Case{"no FMA", "GenuineIntel", 7, osxsave | avx, 1u << 5, 0b111, false},
             Case{"no AVX", "GenuineIntel", 7, fma | osxsave, 1u << 5, 0b111, false},
             Case{"no OSXSAVE", "GenuineIntel", 7, fma | avx, 1u << 5, 0b111, false},
             Case{"YMM state not saved", "GenuineIntel", 7, allOfLeaf1, 1u << 5, 0b011, false},
             Case{"XMM state not saved", "GenuineIntel", 7, allOfLeaf1, 1u << 5, 0b101, false},
         }) {
        FakeProcessor processor;
        processor.leaf(0, vendorLeaf(c.highestLeaf, c.vendor))
            .leaf(1, {0, 0, c.leaf1Ecx, 0xFFFFFFFFu})
            .leaf(7, {0, c.leaf7Ebx, 0xFFFFFFFFu, 0})
            .xcr0(c.xcr0);
        EXPECT_EQ(avx2FromCpuInfo(CpuInfo(processor.cpuid(), processor.xgetbv())), c.avx2)
            << c.what;
        EXPECT_EQ(processor.faultingXgetbvCalls, 0) << c.what;
    }
}

}  // namespace
}  // namespace velvix
