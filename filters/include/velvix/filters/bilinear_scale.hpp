#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "velvix/base/picture.hpp"

// Bilinear scaling of pictures of 3- or 4-byte pixels: the camera's picture to the frame size,
// the frame to the face step's quarter-size copy and to the preview.
namespace velvix {

// The narrowest picture the face step looks for faces in and the preview shows.
inline constexpr std::int64_t kMinimumResizeWidth = 32;

// The part of a source picture that is scaled onto the whole destination, in source pixels.
// Its edges may fall between pixels.
struct SourceArea {
    double left = 0;
    double top = 0;
    double width = 0;
    double height = 0;
};

// The whole picture.
SourceArea wholeArea(FrameSize source);
// The middle of the picture with the destination's aspect ratio: scaled to the destination it
// covers it, what overflows one side cut off equally at both ends.
SourceArea coveringArea(FrameSize source, FrameSize destination);

// Scales one area of pictures of one size onto pictures of another by bilinear filtering.
// Pixel centres map as in any half-pixel bilinear scaler; samples beyond the picture's edge
// take the edge pixel. Each byte of a pixel is filtered on its own. The tables and the two
// filtered rows are made once, so scaling allocates nothing. Reads only pixels inside the
// source picture and writes only width x bytesPerPixel bytes of each destination row. Uses
// AVX2 when hasAVX2 is set; the plain path gives the same bytes.
class BilinearScaler {
  public:
    // Both sizes at least 1 x 1, 3 or 4 bytes a pixel.
    BilinearScaler(FrameSize source, SourceArea area, FrameSize destination, int bytesPerPixel);

    FrameSize source() const { return source_; }
    FrameSize destination() const { return destination_; }

    // Pictures of source() and destination() size; stops the program on others.
    void scale(ConstPicture source, Picture destination);

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

    void makeVectorTables();
    void filterRow(const std::uint8_t* row, std::uint16_t* out) const;
    void filterPixelsPlain(const std::uint8_t* row, std::size_t from, std::uint16_t* out) const;
    std::size_t filterGroupsAvx2(const std::uint8_t* row, std::uint16_t* out) const;
    void blendRows(const std::uint16_t* upper, const std::uint16_t* lower, const Tap& tap,
                   std::uint8_t* out) const;
    // The filtered source row, from the two kept rows or filtered now into the one that does
    // not hold `keep`.
    const std::uint16_t* filteredRow(ConstPicture source, std::int32_t sourceRow,
                                     std::int32_t keep);

    FrameSize source_;
    FrameSize destination_;
    int bytesPerPixel_;
    std::vector<Tap> columns_;
    std::vector<Tap> rows_;
    // The column taps as the vectorised horizontal pass reads them: per group of 4 output
    // pixels the weight pairs of pixels 0, 2, 1, 3, for each of the 4 filtered values a pixel
    // (the fourth weighs nothing for 3-byte pixels), and the byte where each pixel's pair
    // starts.
    std::vector<std::int16_t> columnWeights_;
    std::vector<std::int32_t> columnOffsets_;
    // Groups whose 8-byte pair reads all end inside the row; the rest are filtered plainly.
    std::size_t gatheredGroups_ = 0;
    // Which byte of a pair read goes to each of the 2 x 4 bytes the weights multiply.
    std::array<std::int8_t, 32> pairChannels_{};
    // Where the 4 output pixels' source pixels all lie within 8 neighbouring 4-byte ones (any
    // enlargement, reductions up to about 2), one load of those 8 and a permutation replace
    // the gather: per group the first of the 8 and, for each of the 8 words, the pixel it
    // takes.
    bool windowed_ = false;
    std::vector<std::int32_t> windowStarts_;
    std::vector<std::int32_t> windowPicks_;
    // Two filtered rows (4 unsigned 16-bit values a pixel) and the source rows they hold.
    std::vector<std::uint16_t> filtered_[2];
    std::int32_t filteredFrom_[2] = {-1, -1};
};

// Scales pictures of 4-byte pixels (tightly packed rows) to cover the destination.
BilinearScaler coverScaler(FrameSize source, FrameSize destination);

// Scales the whole of one picture of 3-byte pixels onto another.
void resizeBilinear(ConstPicture source, Picture destination);

}  // namespace velvix
