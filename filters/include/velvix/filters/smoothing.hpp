#pragma once

#include <cstdint>
#include <vector>

#include "velvix/filters/rb_filter.hpp"
#include "velvix/platform/log.hpp"

namespace velvix {

// The failures smoothing reports, each a line of the debug output.
inline constexpr char kFilterInitializeFailed[] =
    "CRBFilterAVX2 failed to initialize for some reason";
inline constexpr char kFilterFailed[] = "CRBFilterAVX2::filter failed for some reason";

struct SmoothingSigmas {
    float spatial = 0;
    float range = 0;
};

// The vectorised filter takes rows of whole steps of this many pixels as they are and others
// through a padded copy, so a face rectangle on this grid is filtered without copying.
inline constexpr int kFilterGrid = 16;

// The grid a face rectangle's sides follow: kFilterGrid where the vectorised filter runs, 1
// (any size) where the scalar one does.
int faceRectangleGrid();

inline constexpr int kLowestLevel = 0;
inline constexpr int kHighestLevel = 100;

// The filter parameters for a smoothing level, taken as kLowestLevel or kHighestLevel where it
// lies beyond them; both are at least float(0.02).
SmoothingSigmas sigmasForLevel(int level);

// Smooths width x height pixels of 4 bytes. First swaps bytes 0 and 2 of every source pixel in
// place, then writes the smoothed picture in that byte order to the destination: with the
// vectorised filter when the processor has AVX2, otherwise with the scalar one. Both buffers are
// tightly packed and are never accessed outside width x height x 4 bytes. Pictures the
// vectorised filter cannot take (see vectorisedFilterTakes) go to the scalar one, as does a
// picture whose vectorised filtering fails, which is said once on the debug output.
void smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width, int height, int level);

// smoothFrame() with the filter, its helper thread and every buffer kept from one picture to
// the next, so that a frame allocates and starts nothing unless it is larger than every
// picture before it. The frame worker smooths with one of these.
class FilterSmoother {
  public:
    void smoothFrame(std::uint8_t* source, std::uint8_t* destination, int width, int height,
                     int level);

  private:
    bool sizeFilterFor(int width, int height);
    bool smoothVectorised(const std::uint8_t* source, std::uint8_t* destination, int width,
                          int height, SmoothingSigmas sigmas);
    bool filterPadded(const std::uint8_t* source, std::uint8_t* destination, int width, int height,
                      int pitch);
    void smoothScalar(const std::uint8_t* source, std::uint8_t* destination, int width, int height,
                      SmoothingSigmas sigmas);

    CRBFilterAVX2 filter_;
    std::vector<std::uint8_t> paddedIn_;
    std::vector<std::uint8_t> paddedOut_;
    ScalarBuffers scalar_;
    platform::DebugOnce failures_;
};

}  // namespace velvix
