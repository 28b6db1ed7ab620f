#include "velvix/platform/cpu_info.hpp"

#include <gtest/gtest.h>

namespace velvix {
namespace {

// The vectorised paths need AVX2 (in a leaf 7 within the highest leaf), FMA, AVX and OSXSAVE
// from CPUID and the XMM and YMM state enabled in XCR0. A fake processor answers from the row;
// XGETBV faults where OSXSAVE is missing, so the fake counts such calls.
TEST(CpuInfo, Avx2PathsNeedTheInstructionsAndTheSavedRegisterState) {
    constexpr std::uint32_t fma = 1u << 12;
    constexpr std::uint32_t osxsave = 1u << 27;
    constexpr std::uint32_t avx = 1u << 28;
    constexpr std::uint32_t all = fma | osxsave | avx;
    const struct {
        const char* what;
        std::uint32_t highestLeaf;
        std::uint32_t leaf1Ecx;
        std::uint32_t leaf7Ebx;
        std::uint64_t xcr0;
        bool avx2;
    } cases[] = {
        {"everything", 7, all, 1u << 5, 0b111, true},
        {"no AVX2 bit", 7, ~0u, ~(1u << 5), 0b111, false},
        {"no leaf 7", 6, all, 1u << 5, 0b111, false},
        {"no FMA", 7, osxsave | avx, 1u << 5, 0b111, false},
        {"no AVX", 7, fma | osxsave, 1u << 5, 0b111, false},
        {"no OSXSAVE", 7, fma | avx, 1u << 5, 0b111, false},
        {"YMM state not saved", 7, all, 1u << 5, 0b011, false},
    };
    for (const auto& c : cases) {
        int faultingXgetbvCalls = 0;
        const CpuInfo info(
            [&](std::uint32_t leaf, std::uint32_t) {
                return leaf == 0   ? CpuidResult{c.highestLeaf}
                       : leaf == 1 ? CpuidResult{0, 0, c.leaf1Ecx, ~0u}
                       : leaf == 7 ? CpuidResult{0, c.leaf7Ebx, ~0u, 0}
                                   : CpuidResult{};
            },
            [&](std::uint32_t) {
                faultingXgetbvCalls += (c.leaf1Ecx & osxsave) != 0 ? 0 : 1;
                return c.xcr0;
            });
        EXPECT_EQ(avx2FromCpuInfo(info), c.avx2) << c.what;
        EXPECT_EQ(faultingXgetbvCalls, 0) << c.what;
    }
}

}  // namespace
}  // namespace velvix
