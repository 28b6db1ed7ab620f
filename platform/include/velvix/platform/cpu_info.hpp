#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Marks a function that may use AVX2 instructions. Call such a function only when hasAVX2 is
// set; code it inlines is compiled for AVX2 as well.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VELVIX_AVX2_FUNCTION __attribute__((target("avx2,fma")))
#define VELVIX_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define VELVIX_AVX2_FUNCTION
#define VELVIX_ALWAYS_INLINE inline
#endif

namespace velvix {

struct CpuidResult {
    std::uint32_t eax = 0;
    std::uint32_t ebx = 0;
    std::uint32_t ecx = 0;
    std::uint32_t edx = 0;
};

// Runs CPUID for a leaf and subleaf.
using CpuidFunction = std::function<CpuidResult(std::uint32_t leaf, std::uint32_t subleaf)>;

// This processor's CPUID instruction (all zeros where there is none).
CpuidResult readCpuid(std::uint32_t leaf, std::uint32_t subleaf);

// The processor's identification and feature words, read once at start.
struct CpuInfo {
    CpuInfo() : CpuInfo(readCpuid) {}
    explicit CpuInfo(const CpuidFunction& cpuid);

    std::int32_t highestLeaf = 0;
    std::int32_t highestExtendedLeaf = 0;
    std::string vendor;
    std::string brand;
    bool isIntel = false;
    bool isAMD = false;
    std::uint32_t leaf1Ecx = 0;
    std::uint32_t leaf1Edx = 0;
    std::uint32_t leaf7Ebx = 0;
    std::uint32_t leaf7Ecx = 0;
    std::uint32_t ext1Ecx = 0;
    std::uint32_t ext1Edx = 0;
    std::vector<std::array<std::int32_t, 4>> leaves;
    std::vector<std::array<std::int32_t, 4>> extendedLeaves;
};

// Bit 5 of leaf 7's EBX. Nothing else is consulted: the vectorised paths are chosen on it alone.
bool avx2FromCpuInfo(const CpuInfo& info);

extern const CpuInfo cpuInfo;

// Chooses the vectorised filter and the 16-pixel face rectangle. Derived from cpuInfo before
// main() runs; tests and benchmarks clear it to take the scalar paths on any processor.
extern bool hasAVX2;

// Takes the vectorised paths or the plain ones for as long as it lives, so that tests and
// benchmarks can run both on one machine. The vectorised paths are taken only where the
// processor has AVX2.
class Avx2Choice {
  public:
    explicit Avx2Choice(bool vectorised) : saved_(hasAVX2) {
        hasAVX2 = vectorised && avx2FromCpuInfo(cpuInfo);
    }
    ~Avx2Choice() { hasAVX2 = saved_; }
    Avx2Choice(const Avx2Choice&) = delete;
    Avx2Choice& operator=(const Avx2Choice&) = delete;

  private:
    bool saved_;
};

}  // namespace velvix
