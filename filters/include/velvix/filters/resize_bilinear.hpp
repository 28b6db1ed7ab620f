#pragma once

#include <cstddef>
#include <cstdint>

#include "velvix/base/picture.hpp"
#include "velvix/platform/aligned_bytes.hpp"

// The bilinear resampling kernel for 3-byte pixels, with 4-bit fixed-point weights.
namespace velvix {

// The kernel produces destination rows in 32-byte pieces and needs rows at least this wide.
inline constexpr std::int64_t kMinimumResizeWidth = 32;
// What the guards of a GuardedBlock hold while they are intact.
inline constexpr std::uint8_t kGuardByte = 0x55;

// One 64-byte aligned allocation: the payload length, a 56-byte front guard, the payload and
// a 64-byte rear guard. The guards are checked when the block is freed; a damaged one stops
// the program with an assertion.
class GuardedBlock {
  public:
    static constexpr std::size_t kFrontGuardBytes = 56;
    static constexpr std::size_t kRearGuardBytes = 64;

    // A zeroed payload; throws std::bad_alloc when there is no memory for it.
    explicit GuardedBlock(std::size_t payloadBytes);
    ~GuardedBlock();
    GuardedBlock(const GuardedBlock&) = delete;
    GuardedBlock& operator=(const GuardedBlock&) = delete;

    std::uint8_t* payload() const { return memory_.get() + 8 + kFrontGuardBytes; }
    std::size_t size() const { return size_; }

  private:
    platform::AlignedBytes memory_;
    std::size_t size_;
};

// Source index and weight (sixteenths of the next source pixel) for each of dstSize
// destination indexes.
void computeResizeTable(std::int64_t srcSize, std::int64_t dstSize, std::int32_t* indexes,
                        std::int32_t* weights);

// Resizes one picture of 3-byte pixels into another. Writes exactly width x 3 bytes of each
// destination row and reads only source pixels inside the picture. Stops the program with an
// assertion when the destination is narrower than 32 pixels or a source side below 2.
// Uses AVX2 when hasAVX2 is set; the plain path gives the same bytes.
void resizeBilinear(ConstPicture source, Picture destination);

}  // namespace velvix
