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

// Reads an extended control register (XGETBV); register 0 says which register state the
// operating system saves. Called only where CPUID reports OSXSAVE, since the instruction
// faults elsewhere.
using XgetbvFunction = std::function<std::uint64_t(std::uint32_t index)>;

// This processor's CPUID instruction (all zeros where there is none).
CpuidResult readCpuid(std::uint32_t leaf, std::uint32_t subleaf);
// This processor's XGETBV instruction (zero where there is none).
std::uint64_t readXgetbv(std::uint32_t index);

// The processor's identification and feature words, read once at start.
struct CpuInfo {
    CpuInfo() : CpuInfo(readCpuid, readXgetbv) {}
    CpuInfo(const CpuidFunction& cpuid, const XgetbvFunction& xgetbv);

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
    // XCR0: the register state the operating system saves and restores; 0 without OSXSAVE.
    std::uint64_t xcr0 = 0;
    std::vector<std::array<std::int32_t, 4>> leaves;
    std::vector<std::array<std::int32_t, 4>> extendedLeaves;
};

// The vectorised paths use AVX2 and fused multiply-add on 256-bit registers, so they need all
// of: AVX2 (leaf 7 EBX bit 5), FMA (leaf 1 ECX bit 12), AVX and OSXSAVE (leaf 1 ECX bits 28 and
// 27), and an operating system that saves the XMM and YMM state (XCR0 bits 1 and 2). A
// processor or virtual machine that reports AVX2 without the rest would fault on the first
// vectorised instruction.
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
