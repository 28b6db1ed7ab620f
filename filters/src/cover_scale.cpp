#include "velvix/filters/cover_scale.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

constexpr int kChannels = 4;
constexpr std::int32_t kOne = 1 << CoverScaler::kWeightBits;
constexpr int kRowShift = CoverScaler::kWeightBits - CoverScaler::kRowFractionBits;
constexpr int kRowFractionBits = CoverScaler::kRowFractionBits;
// The vectorised horizontal pass makes 4 output pixels at a time.
constexpr std::size_t kPixelsPerGather = 4;
// The source pixels one 32-byte load brings.
constexpr std::int32_t kWindowPixels = 8;

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

CoverScaler::CoverScaler(FrameSize source, FrameSize destination)
    : source_(source), destination_(destination) {
    // Source pixels per destination pixel: the smaller ratio, so that the scaled picture
    // covers both sides and overflows one.
    const double ratio = std::min(static_cast<double>(source.width) / destination.width,
                                  static_cast<double>(source.height) / destination.height);
    const auto tapAt = [ratio](int index, int sourceSize, int destinationSize) {
        const double centre = (index + 0.5 - destinationSize / 2.0) * ratio + sourceSize / 2.0;
        const double position = std::clamp(centre - 0.5, 0.0, sourceSize - 1.0);
        if (sourceSize == 1) {
            return Tap{0, 0, static_cast<std::int16_t>(kOne), 0};
        }
        const int first = std::min(static_cast<int>(std::floor(position)), sourceSize - 2);
        const auto second = static_cast<std::int32_t>(std::lround((position - first) * kOne));
        return Tap{first, first + 1, static_cast<std::int16_t>(kOne - second),
                   static_cast<std::int16_t>(second)};
    };
    for (int x = 0; x < destination.width; ++x) {
        columns_.push_back(tapAt(x, source.width, destination.width));
    }
    for (int y = 0; y < destination.height; ++y) {
        Tap row = tapAt(y, source.height, destination.height);
        if (row.secondWeight == kOne) {
            row = {row.second, row.second, static_cast<std::int16_t>(kOne), 0};
        }
        rows_.push_back(row);
    }

    const std::size_t paddedWidth = roundUp(columns_.size(), kPixelsPerGather);
    const auto paddedTap = [&](std::size_t x) {
        return columns_[std::min(x, columns_.size() - 1)];
    };
    constexpr std::size_t kGroupOrder[kPixelsPerGather] = {0, 2, 1, 3};
    for (std::size_t group = 0; group < paddedWidth; group += kPixelsPerGather) {
        for (const std::size_t pixel : kGroupOrder) {
            const Tap tap = paddedTap(group + pixel);
            for (int channel = 0; channel < kChannels; ++channel) {
                columnWeights_.push_back(tap.firstWeight);
                columnWeights_.push_back(tap.secondWeight);
            }
        }
        for (std::size_t pixel = 0; pixel < kPixelsPerGather; ++pixel) {
            columnFirsts_.push_back(paddedTap(group + pixel).first);
        }
    }
    windowed_ = source.width >= kWindowPixels;
    for (std::size_t group = 0; windowed_ && group < paddedWidth; group += kPixelsPerGather) {
        const std::int32_t start =
            std::min(columnFirsts_[group], static_cast<std::int32_t>(source.width - kWindowPixels));
        windowStarts_.push_back(start);
        for (std::size_t pixel = 0; pixel < kPixelsPerGather; ++pixel) {
            const std::int32_t first = columnFirsts_[group + pixel] - start;
            windowed_ = windowed_ && first + 1 < kWindowPixels;
            windowPicks_.insert(windowPicks_.end(), {first, first + 1});
        }
    }
    for (auto& row : filtered_) {
        row.assign(paddedWidth * kChannels, 0);
    }
}

void CoverScaler::filterRowPlain(const std::uint8_t* row, std::uint16_t* out) const {
    for (const Tap& tap : columns_) {
        const std::uint8_t* first = row + static_cast<std::size_t>(tap.first) * kChannels;
        const std::uint8_t* second = row + static_cast<std::size_t>(tap.second) * kChannels;
        for (int channel = 0; channel < kChannels; ++channel) {
            *out++ =
                filteredValue(first[channel], second[channel], tap.firstWeight, tap.secondWeight);
        }
    }
}

namespace {

// Four output pixels from their source pixel pairs (8 bytes each, in output order): a shuffle
// pairs the channels of each pair, and a 16-bit multiply-add weighs them. `weights` holds the
// pairs of pixels 0 and 2, then those of 1 and 3.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE void weighPairs(__m256i pairs,
                                                          const std::int16_t* weights,
                                                          std::uint16_t* out) {
    const __m256i pairChannels =
        _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0, 4, 1, 5, 2, 6, 3,
                         7, 8, 12, 9, 13, 10, 14, 11, 15);
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
// permutation where they lie close together, by a gather otherwise.
VELVIX_AVX2_FUNCTION void CoverScaler::filterRowAvx2(const std::uint8_t* row,
                                                     std::uint16_t* out) const {
    const std::int16_t* weights = columnWeights_.data();
    if (windowed_) {
        const auto* pixels = reinterpret_cast<const std::uint32_t*>(row);
        for (std::size_t group = 0; group < windowStarts_.size(); ++group) {
            const __m256i window =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels + windowStarts_[group]));
            const __m256i picks = _mm256_loadu_si256(
                reinterpret_cast<const __m256i*>(windowPicks_.data() + group * 8));
            weighPairs(_mm256_permutevar8x32_epi32(window, picks), weights + group * 32,
                       out + group * kPixelsPerGather * kChannels);
        }
        return;
    }
    const auto* pixels = reinterpret_cast<const long long*>(row);
    for (std::size_t x = 0; x < columnFirsts_.size(); x += kPixelsPerGather) {
        const __m128i firsts =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(columnFirsts_.data() + x));
        weighPairs(_mm256_i32gather_epi64(pixels, firsts, kChannels), weights + x * 8,
                   out + x * kChannels);
    }
}

void CoverScaler::filterRow(const std::uint8_t* row, std::uint16_t* out) const {
    // The gather reads each output pixel's two source pixels as one 8-byte word.
    if (hasAVX2 && source_.width >= 2) {
        filterRowAvx2(row, out);
    } else {
        filterRowPlain(row, out);
    }
}

namespace {

void blendPlain(const std::uint16_t* upper, const std::uint16_t* lower, int lowerWeight15,
                std::uint8_t* out, std::size_t values) {
    for (std::size_t i = 0; i < values; ++i) {
        out[i] = blendedValue(upper[i], lower[i], lowerWeight15);
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

// 32 values (8 pixels) at a time; returns how many values it made.
VELVIX_AVX2_FUNCTION std::size_t blendAvx2(const std::uint16_t* upper, const std::uint16_t* lower,
                                           int lowerWeight15, std::uint8_t* out,
                                           std::size_t values) {
    const __m256i weight = _mm256_set1_epi16(static_cast<std::int16_t>(lowerWeight15));
    std::size_t done = 0;
    for (; done + 32 <= values; done += 32) {
        const __m256i bytes =
            _mm256_packus_epi16(blend16(upper + done, lower + done, weight),
                                blend16(upper + done + 16, lower + done + 16, weight));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + done),
                            _mm256_permute4x64_epi64(bytes, 0xD8));
    }
    return done;
}

}  // namespace

void CoverScaler::blendRows(const std::uint16_t* upper, const std::uint16_t* lower, const Tap& tap,
                            std::uint8_t* out) const {
    const std::size_t values = columns_.size() * kChannels;
    // Vertical taps never carry the whole weight on the lower row (see the constructor), so
    // the weight fits 15 signed bits.
    const int lowerWeight15 = tap.secondWeight * (1 << (15 - kWeightBits));
    const std::size_t done = hasAVX2 ? blendAvx2(upper, lower, lowerWeight15, out, values) : 0;
    blendPlain(upper + done, lower + done, lowerWeight15, out + done, values - done);
}

const std::uint16_t* CoverScaler::filteredRow(const std::uint8_t* source, std::int32_t sourceRow,
                                              std::int32_t keep) {
    for (int i = 0; i < 2; ++i) {
        if (filteredFrom_[i] == sourceRow) {
            return filtered_[i].data();
        }
    }
    const int slot = filteredFrom_[0] == keep ? 1 : 0;
    filterRow(source + static_cast<std::size_t>(sourceRow) * source_.width * kChannels,
              filtered_[slot].data());
    filteredFrom_[slot] = sourceRow;
    return filtered_[slot].data();
}

void CoverScaler::scale(const std::uint8_t* source, std::uint8_t* destination) {
    // The kept rows belong to the previous picture.
    filteredFrom_[0] = filteredFrom_[1] = -1;
    const std::size_t rowBytes = static_cast<std::size_t>(destination_.width) * kChannels;
    for (const Tap& row : rows_) {
        const std::uint16_t* upper = filteredRow(source, row.first, -1);
        const std::uint16_t* lower = filteredRow(source, row.second, row.first);
        blendRows(upper, lower, row, destination);
        destination += rowBytes;
    }
}

}  // namespace velvix
