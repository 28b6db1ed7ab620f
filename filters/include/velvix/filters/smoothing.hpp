#pragma once

#include <cstdint>

#include "velvix/pipeline/processing_steps.hpp"

namespace velvix {

inline constexpr char kFilterInitializeFailed[] =
    "\nCRBFilterAVX2 failed to initialize for some reason";
inline constexpr char kFilterFailed[] = "\nCRBFilterAVX2::filter failed for some reason";

struct SmoothingSigmas {
    float spatial = 0;
    float range = 0;
};

inline constexpr int kLowestLevel = 0;
inline constexpr int kHighestLevel = 100;

// The filter parameters for a smoothing level, taken as kLowestLevel or kHighestLevel where it
// lies beyond them; both are at least float(0.02).
SmoothingSigmas sigmasForLevel(int level);

// Smooths width x height pixels of 4 bytes. First swaps bytes 0 and 2 of every source pixel in
// place, then writes the smoothed picture in that byte order to the destination: with the
// vectorised filter when the processor has AVX2, otherwise with the scalar one. Both buffers are
// tightly packed and are never accessed outside width x height x 4 bytes. A failure is reported
// on the debug output and leaves the destination as it was.
void smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width, int height, int level);

// The smoothing step of the frame worker.
class FilterSmoother final : public Smoother {
  public:
    void smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width, int height,
                     int level) override;
};

}  // namespace velvix
