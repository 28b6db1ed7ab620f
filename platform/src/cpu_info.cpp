#include "velvix/platform/cpu_info.hpp"

#if defined(_MSC_VER)
#include <intrin.h>
#elif defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace velvix {
namespace {

constexpr std::uint32_t kExtendedBase = 0x80000000u;
constexpr std::uint32_t kLeaf1EcxFma = 1u << 12;
constexpr std::uint32_t kLeaf1EcxOsxsave = 1u << 27;
constexpr std::uint32_t kLeaf1EcxAvx = 1u << 28;
constexpr std::uint32_t kLeaf7EbxAvx2 = 1u << 5;
constexpr std::uint64_t kXcr0SseAndAvxState = 0b110;

bool hasAll(std::uint64_t word, std::uint64_t bits) {
    return (word & bits) == bits;
}

std::array<std::int32_t, 4> asWords(const CpuidResult& result) {
    return {static_cast<std::int32_t>(result.eax), static_cast<std::int32_t>(result.ebx),
            static_cast<std::int32_t>(result.ecx), static_cast<std::int32_t>(result.edx)};
}

// Text packed into register bytes, up to the first zero byte.
std::string textFromRegisters(const std::vector<std::uint32_t>& registers) {
    std::string text;
    for (std::uint32_t value : registers) {
        for (int byte = 0; byte < 4; ++byte) {
            const char c = static_cast<char>((value >> (8 * byte)) & 0xFFu);
            if (c == '\0') {
                return text;
            }
            text += c;
        }
    }
    return text;
}

}  // namespace

CpuidResult readCpuid(std::uint32_t leaf, std::uint32_t subleaf) {
    CpuidResult result;
#if defined(_MSC_VER)
    int registers[4] = {};
    __cpuidex(registers, static_cast<int>(leaf), static_cast<int>(subleaf));
    result = {static_cast<std::uint32_t>(registers[0]), static_cast<std::uint32_t>(registers[1]),
              static_cast<std::uint32_t>(registers[2]), static_cast<std::uint32_t>(registers[3])};
#elif defined(__x86_64__) || defined(__i386__)
    __cpuid_count(leaf, subleaf, result.eax, result.ebx, result.ecx, result.edx);
#else
    (void)leaf;
    (void)subleaf;
#endif
    return result;
}

std::uint64_t readXgetbv(std::uint32_t index) {
#if defined(_MSC_VER)
    return _xgetbv(index);
#elif defined(__x86_64__) || defined(__i386__)
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(index));
    return (std::uint64_t{high} << 32) | low;
#else
    (void)index;
    return 0;
#endif
}

CpuInfo::CpuInfo(const CpuidFunction& cpuid, const XgetbvFunction& xgetbv) {
    const CpuidResult leaf0 = cpuid(0, 0);
    highestLeaf = static_cast<std::int32_t>(leaf0.eax);
    vendor = textFromRegisters({leaf0.ebx, leaf0.edx, leaf0.ecx});
    for (std::int64_t leaf = 0; leaf <= highestLeaf; ++leaf) {
        leaves.push_back(asWords(cpuid(static_cast<std::uint32_t>(leaf), 0)));
    }
    isIntel = vendor == "GenuineIntel";
    isAMD = !isIntel && vendor == "AuthenticAMD";
    if (highestLeaf >= 1) {
        const auto& leaf1 = leaves[1];
        leaf1Ecx = static_cast<std::uint32_t>(leaf1[2]);
        leaf1Edx = static_cast<std::uint32_t>(leaf1[3]);
    }
    if (hasAll(leaf1Ecx, kLeaf1EcxOsxsave)) {
        xcr0 = xgetbv(0);
    }
    if (highestLeaf >= 7) {
        const auto& leaf7 = leaves[7];
        leaf7Ebx = static_cast<std::uint32_t>(leaf7[1]);
        leaf7Ecx = static_cast<std::uint32_t>(leaf7[2]);
    }

    const CpuidResult extended0 = cpuid(kExtendedBase, 0);
    highestExtendedLeaf = static_cast<std::int32_t>(extended0.eax);
    const std::uint32_t lastExtended = extended0.eax;
    for (std::uint64_t leaf = kExtendedBase; leaf <= lastExtended; ++leaf) {
        extendedLeaves.push_back(asWords(cpuid(static_cast<std::uint32_t>(leaf), 0)));
    }
    if (lastExtended >= kExtendedBase + 1) {
        const auto& ext1 = extendedLeaves[1];
        ext1Ecx = static_cast<std::uint32_t>(ext1[2]);
        ext1Edx = static_cast<std::uint32_t>(ext1[3]);
    }
    if (lastExtended >= kExtendedBase + 4) {
        std::vector<std::uint32_t> words;
        for (std::size_t leaf = 2; leaf <= 4; ++leaf) {
            for (std::int32_t word : extendedLeaves[leaf]) {
                words.push_back(static_cast<std::uint32_t>(word));
            }
        }
        brand = textFromRegisters(words);
    }
}

bool avx2FromCpuInfo(const CpuInfo& info) {
    return hasAll(info.leaf7Ebx, kLeaf7EbxAvx2) &&
           hasAll(info.leaf1Ecx, kLeaf1EcxFma | kLeaf1EcxOsxsave | kLeaf1EcxAvx) &&
           hasAll(info.xcr0, kXcr0SseAndAvxState);
}

// Defined in this order in one translation unit, so cpuInfo is complete when hasAVX2 reads it.
const CpuInfo cpuInfo;
bool hasAVX2 = avx2FromCpuInfo(cpuInfo);

}  // namespace velvix
