#include "velvix/filters/resize_bilinear.hpp"

#include <immintrin.h>

#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "velvix/base/assertion.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

constexpr std::size_t kColumnBytes = 6;  // two source pixels, then three 16-bit values
constexpr std::size_t kChunkBytes = 96;  // 16 columns
constexpr std::int64_t kColumnsPerBlock = 32;

struct Coefficient {
    std::int32_t index;
    std::int32_t weight;
};

Coefficient resizeCoefficient(std::int64_t destinationIndex, float scale, std::int64_t srcSize) {
    const auto position = static_cast<float>(
        (static_cast<double>(destinationIndex) + 0.5) * static_cast<double>(scale) - 0.5);
    auto first = static_cast<std::int64_t>(std::floor(position));
    float fraction = position - static_cast<float>(first);
    if (first < 0) {
        first = 0;
        fraction = 0;
    }
    if (first > srcSize - 2) {
        first = srcSize - 2;
        fraction = 1.0f;
    }
    const auto weight = static_cast<std::int32_t>(static_cast<double>(fraction * 16.0f) + 0.5);
    return {static_cast<std::int32_t>(first), weight};
}

// The scratch memory of one call, in the order it lies in the guarded block.
struct ResizeScratch {
    std::uint8_t* rowA;
    std::uint8_t* rowB;
    std::uint8_t* columnWeights;  // (16 - f, f) three times per column
    std::int32_t* columnIndexes;
    std::int32_t* rowIndexes;
    std::int32_t* rowWeights;
    std::size_t rowBufferBytes;  // whole blocks of 32 columns
};

struct ResizeJob {
    const std::uint8_t* src;
    std::int64_t srcStride;
    std::uint8_t* dst;
    std::int64_t dstWidth;
    std::int64_t dstHeight;
    std::int64_t dstStride;
};

void fillColumnTable(const ResizeScratch& scratch, std::int64_t srcWidth, std::int64_t dstWidth) {
    const float scale = static_cast<float>(srcWidth) / static_cast<float>(dstWidth);
    for (std::int64_t x = 0; x < dstWidth; ++x) {
        const Coefficient coefficient = resizeCoefficient(x, scale, srcWidth);
        scratch.columnIndexes[x] = coefficient.index;
        std::uint8_t* entry = scratch.columnWeights + static_cast<std::size_t>(x) * kColumnBytes;
        for (std::size_t channel = 0; channel < 3; ++channel) {
            entry[2 * channel] = static_cast<std::uint8_t>(16 - coefficient.weight);
            entry[2 * channel + 1] = static_cast<std::uint8_t>(coefficient.weight);
        }
    }
}

// Each column's two neighbouring source pixels, side by side.
void gatherColumns(const std::uint8_t* sourceRow, const ResizeScratch& scratch,
                   std::int64_t dstWidth, std::uint8_t* buffer) {
    for (std::int64_t x = 0; x < dstWidth; ++x) {
        std::memcpy(buffer + static_cast<std::size_t>(x) * kColumnBytes,
                    sourceRow + 3 * static_cast<std::size_t>(scratch.columnIndexes[x]),
                    kColumnBytes);
    }
}

void interpolateColumnsPlain(const ResizeScratch& scratch, std::int64_t dstWidth,
                             std::uint8_t* buffer) {
    for (std::int64_t x = 0; x < dstWidth; ++x) {
        std::uint8_t* column = buffer + static_cast<std::size_t>(x) * kColumnBytes;
        const std::uint8_t* weights =
            scratch.columnWeights + static_cast<std::size_t>(x) * kColumnBytes;
        std::uint8_t pixels[kColumnBytes];
        std::memcpy(pixels, column, kColumnBytes);
        for (std::size_t channel = 0; channel < 3; ++channel) {
            const auto value =
                static_cast<std::uint16_t>(weights[2 * channel] * pixels[channel] +
                                           weights[2 * channel + 1] * pixels[3 + channel]);
            std::memcpy(column + 2 * channel, &value, sizeof value);
        }
    }
}

void blendRowsPlain(const std::uint8_t* upper, const std::uint8_t* lower, std::int32_t weight,
                    std::uint8_t* out, std::int64_t dstWidth) {
    const auto values = static_cast<std::size_t>(dstWidth) * 3;
    for (std::size_t j = 0; j < values; ++j) {
        std::uint16_t a;
        std::uint16_t b;
        std::memcpy(&a, upper + 2 * j, sizeof a);
        std::memcpy(&b, lower + 2 * j, sizeof b);
        const auto sum = static_cast<std::uint16_t>(128 + (16 - weight) * a + weight * b);
        out[j] = static_cast<std::uint8_t>(sum >> 8);
    }
}

VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256i loadTwoHalves(const std::uint8_t* low,
                                                                const std::uint8_t* high) {
    return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(high),
                               reinterpret_cast<const __m128i*>(low));
}

// 96 bytes at a time, each 128-bit half holding two whole columns; all of a chunk is loaded
// before any of it is overwritten.
VELVIX_AVX2_FUNCTION void interpolateColumnsAvx2(const ResizeScratch& scratch,
                                                 std::uint8_t* buffer) {
    const __m256i pairChannels =
        _mm256_setr_epi8(0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11, -1, -1, -1, -1,  //
                         0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11, -1, -1, -1, -1);
    for (std::size_t chunk = 0; chunk < scratch.rowBufferBytes; chunk += kChunkBytes) {
        std::uint8_t* bytes = buffer + chunk;
        const std::uint8_t* weights = scratch.columnWeights + chunk;
        __m256i values[4];
        for (std::size_t i = 0; i < 4; ++i) {
            const std::size_t offset = 24 * i;
            const __m256i pixels = loadTwoHalves(bytes + offset, bytes + offset + 12);
            const __m256i factors = loadTwoHalves(weights + offset, weights + offset + 12);
            values[i] = _mm256_maddubs_epi16(_mm256_shuffle_epi8(pixels, pairChannels), factors);
        }
        for (std::size_t i = 0; i < 4; ++i) {
            std::uint8_t* low = bytes + 24 * i;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(low), _mm256_castsi256_si128(values[i]));
            const __m128i high = _mm256_extracti128_si256(values[i], 1);
            if (i < 3) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(low + 12), high);
            } else {
                // The chunk's last two columns: exactly 12 bytes, the next chunk is untouched.
                _mm_storel_epi64(reinterpret_cast<__m128i*>(low + 12), high);
                const int last = _mm_cvtsi128_si32(_mm_srli_si128(high, 8));
                std::memcpy(low + 20, &last, sizeof last);
            }
        }
    }
}

VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256i blendPiece(const std::uint8_t* upper,
                                                             const std::uint8_t* lower,
                                                             __m256i upperWeight,
                                                             __m256i lowerWeight) {
    const __m256i rounding = _mm256_set1_epi16(128);
    __m256i halves[2];
    for (int i = 0; i < 2; ++i) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + 32 * i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + 32 * i));
        const __m256i sum = _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(a, upperWeight),
                                                              _mm256_mullo_epi16(b, lowerWeight)),
                                             rounding);
        halves[i] = _mm256_srli_epi16(sum, 8);
    }
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(halves[0], halves[1]), 0xD8);
}

// 32 bytes at a time; the last piece ends exactly at the row's end, overlapping the one before.
VELVIX_AVX2_FUNCTION void blendRowsAvx2(const std::uint8_t* upper, const std::uint8_t* lower,
                                        std::int32_t weight, std::uint8_t* out,
                                        std::int64_t dstWidth) {
    const __m256i upperWeight = _mm256_set1_epi16(static_cast<short>(16 - weight));
    const __m256i lowerWeight = _mm256_set1_epi16(static_cast<short>(weight));
    const auto rowBytes = static_cast<std::size_t>(dstWidth) * 3;
    const std::size_t wholePieces = (rowBytes + 31) / 32 - 1;
    for (std::size_t piece = 0; piece <= wholePieces; ++piece) {
        const std::size_t start = piece < wholePieces ? 32 * piece : rowBytes - 32;
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(out + start),
            blendPiece(upper + 2 * start, lower + 2 * start, upperWeight, lowerWeight));
    }
}

void interpolateColumns(const ResizeScratch& scratch, std::int64_t dstWidth, std::uint8_t* buffer) {
    if (hasAVX2) {
        interpolateColumnsAvx2(scratch, buffer);
    } else {
        interpolateColumnsPlain(scratch, dstWidth, buffer);
    }
}

void blendRows(const std::uint8_t* upper, const std::uint8_t* lower, std::int32_t weight,
               std::uint8_t* out, std::int64_t dstWidth) {
    (hasAVX2 ? blendRowsAvx2 : blendRowsPlain)(upper, lower, weight, out, dstWidth);
}

void interpolateSourceRow(const ResizeJob& job, const ResizeScratch& scratch, std::int64_t row,
                          std::uint8_t* buffer) {
    gatherColumns(job.src + row * job.srcStride, scratch, job.dstWidth, buffer);
    interpolateColumns(scratch, job.dstWidth, buffer);
}

// Consecutive destination rows that share source rows reuse their interpolated rows.
void resizeRows(const ResizeJob& job, const ResizeScratch& scratch) {
    std::uint8_t* upper = scratch.rowA;
    std::uint8_t* lower = scratch.rowB;
    std::int64_t previous = -2;
    std::uint8_t* out = job.dst;
    for (std::int64_t y = 0; y < job.dstHeight; ++y) {
        const std::int64_t sourceRow = scratch.rowIndexes[y];
        if (sourceRow == previous + 1) {
            std::swap(upper, lower);
            interpolateSourceRow(job, scratch, sourceRow + 1, lower);
        } else if (sourceRow != previous) {
            interpolateSourceRow(job, scratch, sourceRow, upper);
            interpolateSourceRow(job, scratch, sourceRow + 1, lower);
        }
        previous = sourceRow;
        blendRows(upper, lower, scratch.rowWeights[y], out, job.dstWidth);
        out += job.dstStride;
    }
}

}  // namespace

GuardedBlock::GuardedBlock(std::size_t payloadBytes) : size_(payloadBytes) {
    memory_ =
        platform::allocateAlignedBytes(payloadBytes + 8 + kFrontGuardBytes + kRearGuardBytes, 64);
    if (!memory_) {
        throw std::bad_alloc();
    }
    const std::uint64_t length = payloadBytes;
    std::memcpy(memory_.get(), &length, sizeof length);
    std::memset(memory_.get() + 8, kGuardByte, kFrontGuardBytes);
    std::memset(payload(), 0, payloadBytes);
    std::memset(payload() + payloadBytes, kGuardByte, kRearGuardBytes);
}

GuardedBlock::~GuardedBlock() {
    const std::uint8_t* frontGuard = memory_.get() + 8;
    const std::uint8_t* rearGuard = payload() + size_;
    for (std::size_t i = 0; i < kFrontGuardBytes; ++i) {
        VELVIX_ASSERT(frontGuard[i] == kGuardByte);
    }
    for (std::size_t i = 0; i < kRearGuardBytes; ++i) {
        VELVIX_ASSERT(rearGuard[i] == kGuardByte);
    }
}

void computeResizeTable(std::int64_t srcSize, std::int64_t dstSize, std::int32_t* indexes,
                        std::int32_t* weights) {
    const float scale = static_cast<float>(srcSize) / static_cast<float>(dstSize);
    for (std::int64_t i = 0; i < dstSize; ++i) {
        const Coefficient coefficient = resizeCoefficient(i, scale, srcSize);
        indexes[i] = coefficient.index;
        weights[i] = coefficient.weight;
    }
}

void resizeBilinear(ConstPicture source, Picture destination) {
    const std::int64_t srcWidth = source.width;
    const std::int64_t srcHeight = source.height;
    const std::int64_t dstWidth = destination.width;
    const std::int64_t dstHeight = destination.height;
    VELVIX_ASSERT(dstWidth >= kMinimumResizeWidth);
    VELVIX_ASSERT(srcWidth >= 2 && srcHeight >= 2);
    if (dstHeight <= 0) {
        return;
    }
    const auto width = static_cast<std::size_t>(dstWidth);
    const auto height = static_cast<std::size_t>(dstHeight);
    const std::size_t rowBufferBytes =
        (width + kColumnsPerBlock - 1) / kColumnsPerBlock * kColumnsPerBlock * kColumnBytes;
    GuardedBlock block(3 * rowBufferBytes + 4 * width + 8 * height);
    std::uint8_t* payload = block.payload();
    std::uint8_t* tables = payload + 3 * rowBufferBytes;
    const ResizeScratch scratch{payload,
                                payload + rowBufferBytes,
                                payload + 2 * rowBufferBytes,
                                reinterpret_cast<std::int32_t*>(tables),
                                reinterpret_cast<std::int32_t*>(tables + 4 * width),
                                reinterpret_cast<std::int32_t*>(tables + 4 * width + 4 * height),
                                rowBufferBytes};
    fillColumnTable(scratch, srcWidth, dstWidth);
    computeResizeTable(srcHeight, dstHeight, scratch.rowIndexes, scratch.rowWeights);
    resizeRows(
        {source.pixels, source.stride, destination.pixels, dstWidth, dstHeight, destination.stride},
        scratch);
}

}  // namespace velvix
