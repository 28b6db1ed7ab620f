#pragma once

#include <cstdint>
#include <vector>

#include "velvix/base/picture.hpp"

// Scaling a camera picture to the frame size so that it covers the whole frame.
namespace velvix {

// Scales pictures of 4-byte pixels (tightly packed rows) of one size to cover another: the
// aspect ratio is kept, the picture is scaled by bilinear filtering until it fills both sides,
// and what overflows one side is cut off equally at both ends. Pixel centres map as in any
// half-pixel bilinear scaler; samples beyond the picture's edge take the edge pixel. The
// tables and the two filtered rows are made once per pair of sizes, so scaling allocates
// nothing. Uses AVX2 when hasAVX2 is set; the plain path gives the same bytes.
class CoverScaler {
  public:
    // Both sizes at least 1 x 1.
    CoverScaler(FrameSize source, FrameSize destination);

    FrameSize source() const { return source_; }
    FrameSize destination() const { return destination_; }

    // Reads source().pixels() x 4 bytes and writes destination().pixels() x 4 bytes.
    void scale(const std::uint8_t* source, std::uint8_t* destination);

    // Bits of the interpolation weights: a weight of 1 is 1 << kWeightBits.
    static constexpr int kWeightBits = 14;
    // Fraction bits kept in a horizontally filtered row; the rows are blended with the
    // weights in 15 fraction bits.
    static constexpr int kRowFractionBits = 7;

  private:
    struct Tap {
        std::int32_t first;   // the left (or upper) source pixel
        std::int32_t second;  // the right (or lower) one: the next, or the same at a 1-pixel side
        std::int16_t firstWeight;
        std::int16_t secondWeight;
    };

    void filterRow(const std::uint8_t* row, std::uint16_t* out) const;
    void filterRowPlain(const std::uint8_t* row, std::uint16_t* out) const;
    void filterRowAvx2(const std::uint8_t* row, std::uint16_t* out) const;
    void blendRows(const std::uint16_t* upper, const std::uint16_t* lower, const Tap& tap,
                   std::uint8_t* out) const;
    // The filtered source row, from the two kept rows or filtered now into the one that does
    // not hold `keep`.
    const std::uint16_t* filteredRow(const std::uint8_t* source, std::int32_t sourceRow,
                                     std::int32_t keep);

    FrameSize source_;
    FrameSize destination_;
    std::vector<Tap> columns_;
    std::vector<Tap> rows_;
    // The column taps as the vectorised horizontal pass reads them: per group of 4 output
    // pixels the weight pairs of pixels 0, 2, 1, 3, each repeated for the 4 channels.
    std::vector<std::int16_t> columnWeights_;
    std::vector<std::int32_t> columnFirsts_;
    // Where the 4 output pixels' source pixels all lie within 8 neighbouring ones (any
    // enlargement, reductions up to about 2), one load of those 8 and a permutation replace
    // the gather: per group the first of the 8 and, for each of the 8 words, the pixel it
    // takes.
    bool windowed_ = false;
    std::vector<std::int32_t> windowStarts_;
    std::vector<std::int32_t> windowPicks_;
    // Two filtered rows (4 unsigned 16-bit channels a pixel) and the source rows they hold.
    std::vector<std::uint16_t> filtered_[2];
    std::int32_t filteredFrom_[2] = {-1, -1};
};

}  // namespace velvix
