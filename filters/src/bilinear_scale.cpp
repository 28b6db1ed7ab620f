#include "velvix/filters/bilinear_scale.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "velvix/base/assertion.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

constexpr std::int32_t kOne = 1 << BilinearScaler::kWeightBits;
constexpr int kRowShift = BilinearScaler::kWeightBits - BilinearScaler::kRowFractionBits;
constexpr int kRowFractionBits = BilinearScaler::kRowFractionBits;
// Filtered values a pixel: 4 for either pixel size, so that both share the vector passes.
constexpr std::size_t kValues = 4;
// The vectorised horizontal pass makes 4 output pixels at a time.
constexpr std::size_t kPixelsPerGather = 4;
// The bytes one read of a pixel pair brings.
constexpr std::int32_t kPairReadBytes = 8;
// The 4-byte source pixels one 32-byte load brings.
constexpr std::int32_t kWindowPixels = 8;
// The vectorised blend makes 8 output pixels at a time.
constexpr std::size_t kPixelsPerBlend = 8;

std::size_t roundUp(std::size_t value, std::size_t step) {
    return (value + step - 1) / step * step;
}

std::uint16_t filteredValue(int first, int second, int firstWeight, int secondWeight) {
    return static_cast<std::uint16_t>(
        (first * firstWeight + second * secondWeight + (1 << (kRowShift - 1))) >> kRowShift);
}

// The rows are blended as upper + (lower - upper) x weight, with the weight in 15 fraction
// bits and the product rounded to the nearest, as the vector multiply does it.
std::uint8_t blendedValue(int upper, int lower, int lowerWeight15) {
    const int blended = upper + (((lower - upper) * lowerWeight15 + (1 << 14)) >> 15);
    return static_cast<std::uint8_t>((blended + (1 << (kRowFractionBits - 1))) >> kRowFractionBits);
}

}  // namespace

SourceArea wholeArea(FrameSize source) {
    return {0, 0, static_cast<double>(source.width), static_cast<double>(source.height)};
}

SourceArea coveringArea(FrameSize source, FrameSize destination) {
    // Source pixels per destination pixel: the smaller ratio, so that the scaled picture
    // covers both sides and overflows one.
    const double ratio = std::min(static_cast<double>(source.width) / destination.width,
                                  static_cast<double>(source.height) / destination.height);
    const double width = destination.width * ratio;
    const double height = destination.height * ratio;
    return {(source.width - width) / 2, (source.height - height) / 2, width, height};
}

BilinearScaler::BilinearScaler(FrameSize source, SourceArea area, FrameSize destination,
                               int bytesPerPixel)
    : source_(source), destination_(destination), bytesPerPixel_(bytesPerPixel) {
    VELVIX_ASSERT(source.width >= 1 && source.height >= 1 && destination.width >= 1 &&
                  destination.height >= 1);
    VELVIX_ASSERT(bytesPerPixel == 3 || bytesPerPixel == 4);
    const auto tapAt = [](int index, double start, double step, int sourceSize) {
        const double centre = start + (index + 0.5) * step;
        const double position = std::clamp(centre - 0.5, 0.0, sourceSize - 1.0);
        if (sourceSize == 1) {
            return Tap{0, 0, static_cast<std::int16_t>(kOne), 0};
        }
        const int first = std::min(static_cast<int>(std::floor(position)), sourceSize - 2);
        const auto second = static_cast<std::int32_t>(std::lround((position - first) * kOne));
        return Tap{first, first + 1, static_cast<std::int16_t>(kOne - second),
                   static_cast<std::int16_t>(second)};
    };
    const double columnStep = area.width / destination.width;
    for (int x = 0; x < destination.width; ++x) {
        columns_.push_back(tapAt(x, area.left, columnStep, source.width));
    }
    const double rowStep = area.height / destination.height;
    for (int y = 0; y < destination.height; ++y) {
        Tap row = tapAt(y, area.top, rowStep, source.height);
        if (row.secondWeight == kOne) {
            row = {row.second, row.second, static_cast<std::int16_t>(kOne), 0};
        }
        rows_.push_back(row);
    }
    makeVectorTables();
    for (auto& row : filtered_) {
        row.assign(roundUp(columns_.size(), kPixelsPerGather) * kValues, 0);
    }
}

void BilinearScaler::makeVectorTables() {
    const std::size_t paddedWidth = roundUp(columns_.size(), kPixelsPerGather);
    const auto paddedTap = [&](std::size_t x) {
        return columns_[std::min(x, columns_.size() - 1)];
    };
    const auto pixelBytes = static_cast<std::size_t>(bytesPerPixel_);
    constexpr std::size_t kGroupOrder[kPixelsPerGather] = {0, 2, 1, 3};
    for (std::size_t group = 0; group < paddedWidth; group += kPixelsPerGather) {
        for (const std::size_t pixel : kGroupOrder) {
            const Tap tap = paddedTap(group + pixel);
            for (std::size_t value = 0; value < kValues; ++value) {
                const bool weighed = value < pixelBytes;
                columnWeights_.push_back(weighed ? tap.firstWeight : std::int16_t{0});
                columnWeights_.push_back(weighed ? tap.secondWeight : std::int16_t{0});
            }
        }
        for (std::size_t pixel = 0; pixel < kPixelsPerGather; ++pixel) {
            columnOffsets_.push_back(paddedTap(group + pixel).first * bytesPerPixel_);
        }
    }
    // The offsets grow along the row, so the groups that read past its end are the last ones.
    const std::int32_t rowBytes = source_.width * bytesPerPixel_;
    while (gatheredGroups_ * kPixelsPerGather < paddedWidth &&
           columnOffsets_[gatheredGroups_ * kPixelsPerGather + kPixelsPerGather - 1] +
                   kPairReadBytes <=
               rowBytes) {
        ++gatheredGroups_;
    }

    // A pair read holds the first pixel's bytes, then the second's: each filtered value takes
    // one byte of each, the fourth of a 3-byte pixel pair two bytes it weighs by nothing.
    const std::int8_t threeBytes[kPairReadBytes] = {0, 3, 1, 4, 2, 5, 6, 7};
    const std::int8_t fourBytes[kPairReadBytes] = {0, 4, 1, 5, 2, 6, 3, 7};
    const std::int8_t* pair = bytesPerPixel_ == 3 ? threeBytes : fourBytes;
    for (std::size_t i = 0; i < pairChannels_.size(); ++i) {
        const std::size_t withinLane = i % 16;
        pairChannels_[i] = static_cast<std::int8_t>(pair[withinLane % kPairReadBytes] +
                                                    withinLane / kPairReadBytes * kPairReadBytes);
    }

    windowed_ = bytesPerPixel_ == 4 && source_.width >= kWindowPixels;
    for (std::size_t group = 0; windowed_ && group < paddedWidth; group += kPixelsPerGather) {
        const std::int32_t start =
            std::min(columnOffsets_[group] / bytesPerPixel_, source_.width - kWindowPixels);
        windowStarts_.push_back(start);
        for (std::size_t pixel = 0; pixel < kPixelsPerGather; ++pixel) {
            const std::int32_t first = columnOffsets_[group + pixel] / bytesPerPixel_ - start;
            windowed_ = windowed_ && first + 1 < kWindowPixels;
            windowPicks_.insert(windowPicks_.end(), {first, first + 1});
        }
    }
}

namespace {

// The pixel size is a template argument so that the byte loops unroll.
template <std::size_t kBytes, typename Taps>
void filterPixels(const Taps& columns, std::size_t from, const std::uint8_t* row,
                  std::uint16_t* out) {
    for (std::size_t x = from; x < columns.size(); ++x) {
        const auto& tap = columns[x];
        const std::uint8_t* first = row + static_cast<std::size_t>(tap.first) * kBytes;
        const std::uint8_t* second = row + static_cast<std::size_t>(tap.second) * kBytes;
        std::uint16_t* values = out + x * kValues;
        for (std::size_t byte = 0; byte < kBytes; ++byte) {
            values[byte] =
                filteredValue(first[byte], second[byte], tap.firstWeight, tap.secondWeight);
        }
        std::fill(values + kBytes, values + kValues, std::uint16_t{0});
    }
}

}  // namespace

void BilinearScaler::filterPixelsPlain(const std::uint8_t* row, std::size_t from,
                                       std::uint16_t* out) const {
    (bytesPerPixel_ == 3 ? filterPixels<3, std::vector<Tap>>
                         : filterPixels<4, std::vector<Tap>>)(columns_, from, row, out);
}

namespace {

// Four output pixels from their source pixel pairs (8 bytes each, in output order): a shuffle
// pairs the bytes of each pair, and a 16-bit multiply-add weighs them. `weights` holds the
// pairs of pixels 0 and 2, then those of 1 and 3.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE void weighPairs(__m256i pairs, __m256i pairChannels,
                                                          const std::int16_t* weights,
                                                          std::uint16_t* out) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i rounding = _mm256_set1_epi32(1 << (kRowShift - 1));
    pairs = _mm256_shuffle_epi8(pairs, pairChannels);
    const __m256i evenWeights = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights));
    const __m256i oddWeights = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(weights + 16));
    __m256i even = _mm256_madd_epi16(_mm256_unpacklo_epi8(pairs, zero), evenWeights);
    __m256i odd = _mm256_madd_epi16(_mm256_unpackhi_epi8(pairs, zero), oddWeights);
    even = _mm256_srli_epi32(_mm256_add_epi32(even, rounding), kRowShift);
    odd = _mm256_srli_epi32(_mm256_add_epi32(odd, rounding), kRowShift);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_packs_epi32(even, odd));
}

}  // namespace

// Four output pixels at a time, their source pixel pairs fetched by one load and a
// permutation where they lie close together, by a gather otherwise; returns how many pixels
// it made.
VELVIX_AVX2_FUNCTION std::size_t BilinearScaler::filterGroupsAvx2(const std::uint8_t* row,
                                                                  std::uint16_t* out) const {
    const std::int16_t* weights = columnWeights_.data();
    const __m256i pairChannels =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pairChannels_.data()));
    constexpr std::size_t kWeightsPerGroup = kPixelsPerGather * kValues * 2;
    constexpr std::size_t kValuesPerGroup = kPixelsPerGather * kValues;
    if (windowed_) {
        const auto* pixels = reinterpret_cast<const std::uint32_t*>(row);
        for (std::size_t group = 0; group < windowStarts_.size(); ++group) {
            const __m256i window =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels + windowStarts_[group]));
            const __m256i picks = _mm256_loadu_si256(
                reinterpret_cast<const __m256i*>(windowPicks_.data() + group * 8));
            weighPairs(_mm256_permutevar8x32_epi32(window, picks), pairChannels,
                       weights + group * kWeightsPerGroup, out + group * kValuesPerGroup);
        }
        return windowStarts_.size() * kPixelsPerGather;
    }
    const auto* bytes = reinterpret_cast<const long long*>(row);
    for (std::size_t group = 0; group < gatheredGroups_; ++group) {
        const __m128i offsets = _mm_loadu_si128(
            reinterpret_cast<const __m128i*>(columnOffsets_.data() + group * kPixelsPerGather));
        weighPairs(_mm256_i32gather_epi64(bytes, offsets, 1), pairChannels,
                   weights + group * kWeightsPerGroup, out + group * kValuesPerGroup);
    }
    return gatheredGroups_ * kPixelsPerGather;
}

void BilinearScaler::filterRow(const std::uint8_t* row, std::uint16_t* out) const {
    const std::size_t done = hasAVX2 ? filterGroupsAvx2(row, out) : 0;
    filterPixelsPlain(row, done, out);
}

namespace {

template <std::size_t kBytes>
void blendPixels(const std::uint16_t* upper, const std::uint16_t* lower, int lowerWeight15,
                 std::size_t from, std::size_t pixels, std::uint8_t* out) {
    for (std::size_t x = from; x < pixels; ++x) {
        for (std::size_t byte = 0; byte < kBytes; ++byte) {
            out[x * kBytes + byte] =
                blendedValue(upper[x * kValues + byte], lower[x * kValues + byte], lowerWeight15);
        }
    }
}

// 16 blended values, as 16-bit words.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256i blend16(const std::uint16_t* upper,
                                                          const std::uint16_t* lower,
                                                          __m256i lowerWeight15) {
    const __m256i rounding = _mm256_set1_epi16(1 << (kRowFractionBits - 1));
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower));
    const __m256i blended =
        _mm256_add_epi16(a, _mm256_mulhrs_epi16(_mm256_sub_epi16(b, a), lowerWeight15));
    return _mm256_srli_epi16(_mm256_add_epi16(blended, rounding), kRowFractionBits);
}

// 8 pixels at a time, written whole; returns how many pixels it made.
VELVIX_AVX2_FUNCTION std::size_t blendAvx2(const std::uint16_t* upper, const std::uint16_t* lower,
                                           int lowerWeight15, int bytesPerPixel, std::size_t pixels,
                                           std::uint8_t* out) {
    const __m256i weight = _mm256_set1_epi16(static_cast<std::int16_t>(lowerWeight15));
    // The 4 pixels of each half without their fourth bytes, then the halves' 12 bytes joined.
    const __m256i dropFourth =
        _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6,
                         8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i joinHalves = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
    std::size_t done = 0;
    for (; done + kPixelsPerBlend <= pixels; done += kPixelsPerBlend) {
        const std::size_t value = done * kValues;
        const __m256i bytes = _mm256_permute4x64_epi64(
            _mm256_packus_epi16(blend16(upper + value, lower + value, weight),
                                blend16(upper + value + 16, lower + value + 16, weight)),
            0xD8);
        if (bytesPerPixel == 4) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + done * 4), bytes);
            continue;
        }
        const __m256i packed =
            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(bytes, dropFourth), joinHalves);
        std::uint8_t* at = out + done * 3;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm256_castsi256_si128(packed));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(at + 16), _mm256_extracti128_si256(packed, 1));
    }
    return done;
}

}  // namespace

void BilinearScaler::blendRows(const std::uint16_t* upper, const std::uint16_t* lower,
                               const Tap& tap, std::uint8_t* out) const {
    const std::size_t pixels = columns_.size();
    // Vertical taps never carry the whole weight on the lower row (see the constructor), so
    // the weight fits 15 signed bits.
    const int lowerWeight15 = tap.secondWeight * (1 << (15 - kWeightBits));
    const std::size_t done =
        hasAVX2 ? blendAvx2(upper, lower, lowerWeight15, bytesPerPixel_, pixels, out) : 0;
    (bytesPerPixel_ == 3 ? blendPixels<3> : blendPixels<4>)(upper, lower, lowerWeight15, done,
                                                            pixels, out);
}

const std::uint16_t* BilinearScaler::filteredRow(ConstPicture source, std::int32_t sourceRow,
                                                 std::int32_t keep) {
    for (int i = 0; i < 2; ++i) {
        if (filteredFrom_[i] == sourceRow) {
            return filtered_[i].data();
        }
    }
    const int slot = filteredFrom_[0] == keep ? 1 : 0;
    filterRow(source.row(sourceRow), filtered_[slot].data());
    filteredFrom_[slot] = sourceRow;
    return filtered_[slot].data();
}

void BilinearScaler::scale(ConstPicture source, Picture destination) {
    VELVIX_ASSERT(source.size() == source_ && destination.size() == destination_);
    // The kept rows belong to the previous picture.
    filteredFrom_[0] = filteredFrom_[1] = -1;
    for (int y = 0; y < destination_.height; ++y) {
        const Tap& row = rows_[static_cast<std::size_t>(y)];
        const std::uint16_t* upper = filteredRow(source, row.first, -1);
        const std::uint16_t* lower = filteredRow(source, row.second, row.first);
        blendRows(upper, lower, row, destination.row(y));
    }
}

BilinearScaler coverScaler(FrameSize source, FrameSize destination) {
    return {source, coveringArea(source, destination), destination, 4};
}

void resizeBilinear(ConstPicture source, Picture destination) {
    BilinearScaler(source.size(), wholeArea(source.size()), destination.size(), 3)
        .scale(source, destination);
}

}  // namespace velvix
