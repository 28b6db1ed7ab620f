#include <immintrin.h>

#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "velvix/filters/rb_filter.hpp"
#include "velvix/platform/aligned_memory.hpp"
#include "velvix/platform/cpu_info.hpp"

namespace velvix {
namespace {

constexpr int kStripeCount = 2;
constexpr std::size_t kRecordBytes = 96;  // weight, invAlpha x pixel, right-to-left value
constexpr int kGroupPixels = 8;
constexpr std::size_t kColumnGroupStateBytes = 256;  // 4 factor and 4 colour vectors

int roundUp(int value, int multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

struct RowRange {
    int first;
    int count;
};

// Every stripe but the last starts on an even row, so the row pairs never straddle stripes.
RowRange rowStripe(int stripe, int stripes, int height) {
    const int rows = height / stripes / 2 * 2;
    const int first = stripe * rows;
    return {first, stripe == stripes - 1 ? height - first : rows};
}

struct ColumnRange {
    int first;
    int groups;
};

ColumnRange columnStripe(int stripe, int stripes, int width) {
    const int columns = width / stripes / kGroupPixels * kGroupPixels;
    const int first = stripe * columns;
    const int end = stripe == stripes - 1 ? roundUp(width * 4, stripes * 32) / 4 : first + columns;
    return {first, (end - first) / kGroupPixels};
}

std::uint32_t loadPixel(const std::uint8_t* pixel) {
    std::uint32_t value;
    std::memcpy(&value, pixel, sizeof value);
    return value;
}

void storePixel(std::uint8_t* pixel, std::uint32_t value) {
    std::memcpy(pixel, &value, sizeof value);
}

const std::uint8_t* pixelAt(const std::uint8_t* row, int position) {
    return row + static_cast<std::size_t>(position) * 4;
}

struct FilterState {
    const float* table;
    float invAlpha;
};

// Two pixels as 8 floats, the first one's four channels in the low half.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256 pixelPair(std::uint32_t low, std::uint32_t high) {
    const auto bytes = static_cast<long long>(low | (std::uint64_t{high} << 32));
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(bytes)));
}

// The largest absolute difference of bytes 0 to 2 of each of 8 pixel pairs.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256i colourDistances(__m256i a, __m256i b) {
    const __m256i difference = _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a));
    const __m256i lowByte = _mm256_set1_epi32(0xFF);
    const __m256i d0 = _mm256_and_si256(difference, lowByte);
    const __m256i d1 = _mm256_and_si256(_mm256_srli_epi32(difference, 8), lowByte);
    const __m256i d2 = _mm256_and_si256(_mm256_srli_epi32(difference, 16), lowByte);
    return _mm256_max_epi32(d0, _mm256_max_epi32(d1, d2));
}

// Distances of 8 pixel pairs, for one table lookup each.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE void storeDistances(std::int32_t* distances, __m256i a,
                                                              __m256i b) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(distances), colourDistances(a, b));
}

VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256i loadGroup(const std::uint8_t* pixels) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels));
}

// The 8 pixels after those at `row` + position: in memory order, so the last position's
// successor is the first pixel of the next row. A row without one (the image's last) is
// compared with itself there, which gives its last pixel the neutral weight alpha.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256i successors(const std::uint8_t* row, int position,
                                                             int lastGroup, bool rowHasSuccessor) {
    if (position != lastGroup || rowHasSuccessor) {
        return loadGroup(pixelAt(row, position + 1));
    }
    const __m256i group = loadGroup(pixelAt(row, position));
    return _mm256_permutevar8x32_epi32(group, _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 7));
}

// Both rows' weights of one position: the upper row's in the low four lanes.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256 pairWeight(const float* upper,
                                                            const float* lower) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_broadcast_ss(upper)),
                                _mm_broadcast_ss(lower), 1);
}

struct RowPair {
    const std::uint8_t* upper;
    const std::uint8_t* lower;  // the upper row again when a row is filtered alone
    bool upperHasSuccessor;
    bool lowerHasSuccessor;
    std::uint8_t* outUpper;
    std::uint8_t* outLower;  // null when a row is filtered alone
};

VELVIX_AVX2_FUNCTION void sweepRightToLeft(const RowPair& rows, int positions,
                                           const FilterState& state, std::uint8_t* lineBuffer) {
    const __m256 invAlpha = _mm256_set1_ps(state.invAlpha);
    const int lastGroup = positions - kGroupPixels;
    const int last = positions - 1;
    __m256 colour =
        pixelPair(loadPixel(pixelAt(rows.upper, last)), loadPixel(pixelAt(rows.lower, last)));
    __m256 factor = _mm256_set1_ps(1.0f);
    const float* table = state.table;
    alignas(32) std::int32_t upperDistances[kGroupPixels];
    alignas(32) std::int32_t lowerDistances[kGroupPixels];
    for (int group = lastGroup; group >= 0; group -= kGroupPixels) {
        storeDistances(upperDistances, loadGroup(pixelAt(rows.upper, group)),
                       successors(rows.upper, group, lastGroup, rows.upperHasSuccessor));
        storeDistances(lowerDistances, loadGroup(pixelAt(rows.lower, group)),
                       successors(rows.lower, group, lastGroup, rows.lowerHasSuccessor));
        for (int i = kGroupPixels - 1; i >= 0; --i) {
            const int k = group + i;
            const __m256 x =
                pixelPair(loadPixel(pixelAt(rows.upper, k)), loadPixel(pixelAt(rows.lower, k)));
            const __m256 weight = pairWeight(table + upperDistances[i], table + lowerDistances[i]);
            const __m256 scaled = _mm256_mul_ps(invAlpha, x);
            colour = _mm256_fmadd_ps(weight, colour, scaled);
            factor = _mm256_fmadd_ps(weight, factor, invAlpha);
            float* record = reinterpret_cast<float*>(lineBuffer + static_cast<std::size_t>(k + 1) *
                                                                      kRecordBytes);
            _mm256_store_ps(record, weight);
            _mm256_store_ps(record + 8, scaled);
            _mm256_store_ps(record + 16, _mm256_div_ps(colour, factor));
        }
    }
}

VELVIX_AVX2_FUNCTION void sweepLeftToRightAndMerge(const RowPair& rows, int positions,
                                                   const FilterState& state,
                                                   const std::uint8_t* lineBuffer) {
    const __m256 invAlpha = _mm256_set1_ps(state.invAlpha);
    // Byte 0 of each 32-bit lane to the front of its 128-bit half.
    const __m256i firstBytes =
        _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
                         0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    __m256 colour = _mm256_setzero_ps();
    __m256 factor = _mm256_setzero_ps();
    for (int k = 0; k < positions; ++k) {
        const float* previous =
            reinterpret_cast<const float*>(lineBuffer + static_cast<std::size_t>(k) * kRecordBytes);
        const float* own = previous + kRecordBytes / sizeof(float);
        const __m256 weight = _mm256_load_ps(previous);
        colour = _mm256_fmadd_ps(weight, colour, _mm256_load_ps(own + 8));
        factor = _mm256_fmadd_ps(weight, factor, invAlpha);
        const __m256 sum = _mm256_add_ps(_mm256_div_ps(colour, factor), _mm256_load_ps(own + 16));
        const __m256i halved = _mm256_srli_epi32(_mm256_cvtps_epi32(sum), 1);
        const __m256i bytes = _mm256_shuffle_epi8(halved, firstBytes);
        storePixel(rows.outUpper + static_cast<std::size_t>(k) * 4,
                   static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(bytes))));
        if (rows.outLower != nullptr) {
            storePixel(
                rows.outLower + static_cast<std::size_t>(k) * 4,
                static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(bytes, 1))));
        }
    }
}

VELVIX_AVX2_FUNCTION void filterRows(RowRange range, const std::uint8_t* in, std::uint8_t* out,
                                     int height, int pitch, const FilterState& state,
                                     std::uint8_t* lineBuffer) {
    const int positions = pitch / 32 * kGroupPixels;
    const auto rowOffset = [pitch](int row) {
        return static_cast<std::size_t>(row) * static_cast<std::size_t>(pitch);
    };
    const int end = range.first + range.count;
    for (int row = range.first; row < end; row += 2) {
        const bool alone = row + 1 == end;
        const int lowerRow = alone ? row : row + 1;
        const RowPair rows{in + rowOffset(row),  in + rowOffset(lowerRow),
                           row + 1 < height,     lowerRow + 1 < height,
                           out + rowOffset(row), alone ? nullptr : out + rowOffset(lowerRow)};
        sweepRightToLeft(rows, positions, state, lineBuffer);
        sweepLeftToRightAndMerge(rows, positions, state, lineBuffer);
    }
}

// The running state of one group of 8 columns: factors and colours of 4 pixel pairs.
struct ColumnGroupState {
    __m256 factor[4];
    __m256 colour[4];
};

// The 8 pixels of a group as 4 vectors of pixel pairs.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE void groupPairs(__m256i group, __m256 (&pairs)[4]) {
    const __m128i low = _mm256_castsi256_si128(group);
    const __m128i high = _mm256_extracti128_si256(group, 1);
    pairs[0] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(low));
    pairs[1] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(low, 8)));
    pairs[2] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(high));
    pairs[3] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(high, 8)));
}

// Nearest integers of 4 vectors of pixel pairs, as 8 pixels of 4 bytes in order.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256i packGroup(const __m256i (&values)[4]) {
    const __m256i words0 = _mm256_packs_epi32(values[0], values[1]);  // pixels 0 2 | 1 3
    const __m256i words1 = _mm256_packs_epi32(values[2], values[3]);  // pixels 4 6 | 5 7
    const __m256i bytes = _mm256_packus_epi16(words0, words1);        // 0 2 4 6 | 1 3 5 7
    return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE void seedGroup(ColumnGroupState& group, __m256i pixels) {
    groupPairs(pixels, group.colour);
    for (__m256& factor : group.factor) {
        factor = _mm256_set1_ps(1.0f);
    }
}

// One recursion step down or up a column group; returns the new normalised bytes.
VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE __m256i stepGroup(ColumnGroupState& group, __m256i pixels,
                                                            __m256i neighbours, const float* table,
                                                            __m256 invAlpha) {
    alignas(32) std::int32_t distances[kGroupPixels];
    storeDistances(distances, pixels, neighbours);
    __m256 x[4];
    groupPairs(pixels, x);
    __m256i rounded[4];
#pragma GCC unroll 4
    for (int pair = 0; pair < 4; ++pair) {
        const __m256 weight =
            pairWeight(table + distances[2 * pair], table + distances[2 * pair + 1]);
        const __m256 scaled = _mm256_mul_ps(invAlpha, x[pair]);
        const __m256 factor = _mm256_fmadd_ps(weight, group.factor[pair], invAlpha);
        const __m256 colour = _mm256_fmadd_ps(weight, group.colour[pair], scaled);
        group.factor[pair] = factor;
        group.colour[pair] = colour;
        rounded[pair] = _mm256_cvtps_epi32(_mm256_div_ps(colour, factor));
    }
    return packGroup(rounded);
}

// Where group `group` of a column stripe lies in row `row` of either image.
struct ColumnGroups {
    ColumnRange range;
    int pitch;

    std::size_t offset(int row, int group) const {
        return static_cast<std::size_t>(row) * static_cast<std::size_t>(pitch) +
               static_cast<std::size_t>(range.first + group * kGroupPixels) * 4;
    }
};

VELVIX_AVX2_FUNCTION VELVIX_ALWAYS_INLINE void storeGroup(std::uint8_t* pixels, __m256i value) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pixels), value);
}

VELVIX_AVX2_FUNCTION void filterColumns(ColumnRange range, const std::uint8_t* in,
                                        std::uint8_t* out, int height, int pitch,
                                        const FilterState& state, std::uint8_t* lineBuffer) {
    auto* groups = reinterpret_cast<ColumnGroupState*>(lineBuffer);
    const ColumnGroups at{range, pitch};
    const float* table = state.table;
    const __m256 invAlpha = _mm256_set1_ps(state.invAlpha);

    const int bottom = height - 1;
    for (int g = 0; g < range.groups; ++g) {
        const __m256i pixels = loadGroup(in + at.offset(bottom, g));
        storeGroup(out + at.offset(bottom, g), pixels);
        seedGroup(groups[g], pixels);
    }
    for (int row = bottom - 1; row >= 0; --row) {
        for (int g = 0; g < range.groups; ++g) {
            const __m256i up = stepGroup(groups[g], loadGroup(in + at.offset(row, g)),
                                         loadGroup(in + at.offset(row + 1, g)), table, invAlpha);
            storeGroup(out + at.offset(row, g), up);
        }
    }

    for (int g = 0; g < range.groups; ++g) {
        const __m256i pixels = loadGroup(in + at.offset(0, g));
        const __m256i up = loadGroup(out + at.offset(0, g));
        storeGroup(out + at.offset(0, g), _mm256_avg_epu8(up, pixels));
        seedGroup(groups[g], pixels);
    }
    for (int row = 1; row < height; ++row) {
        for (int g = 0; g < range.groups; ++g) {
            const __m256i down = stepGroup(groups[g], loadGroup(in + at.offset(row, g)),
                                           loadGroup(in + at.offset(row - 1, g)), table, invAlpha);
            const __m256i up = loadGroup(out + at.offset(row, g));
            storeGroup(out + at.offset(row, g), _mm256_avg_epu8(up, down));
        }
    }
}

}  // namespace

FilterCoefficients vectorCoefficients(float sigmaSpatial, float sigmaRange) {
    const double alpha = std::exp(-std::sqrt(2.0) / (static_cast<double>(sigmaSpatial) * 255.0));
    FilterCoefficients coefficients;
    coefficients.alpha = static_cast<float>(alpha);
    coefficients.invAlpha = static_cast<float>(1.0 - alpha);
    const double s = 1.0 / static_cast<double>(sigmaRange * 255.0f);
    for (int i = 0; i < kRangeTableSize; ++i) {
        coefficients.rangeTable[static_cast<std::size_t>(i)] =
            static_cast<float>(std::exp(-i * s) * alpha);
    }
    return coefficients;
}

CRBFilterAVX2::CRBFilterAVX2() {
    constexpr std::size_t tableBytes = sizeof(float) * kRangeTableSize;
    rangeTable_.reset(static_cast<float*>(platform::allocateAligned(tableBytes, 32)));
    if (!rangeTable_) {
        throw std::bad_alloc();
    }
    std::memset(rangeTable_.get(), 0, tableBytes);
}

CRBFilterAVX2::~CRBFilterAVX2() {
    release();
}

bool CRBFilterAVX2::initialize(int width, int height) {
    if (width < kMinimumFilterWidth || width > kMaximumFilterSize ||
        height < kMinimumFilterHeight || height > kMaximumFilterSize) {
        return false;
    }
    release();
    threadCount_ = kStripeCount;
    reservedWidth_ = roundUp(width * 4, 64) / 4;
    reservedHeight_ = roundUp(height, 2);
    const auto reservedPixels =
        static_cast<std::size_t>(reservedWidth_) * static_cast<std::size_t>(reservedHeight_);
    intermediate_ = platform::allocateAlignedBytes(reservedPixels * 4, 32);
    lineBuffersH_.reset(new (std::nothrow)
                            platform::AlignedBytes[static_cast<std::size_t>(threadCount_)]);
    lineBuffersV_.reset(new (std::nothrow)
                            platform::AlignedBytes[static_cast<std::size_t>(threadCount_)]);
    bool allocated = intermediate_ && lineBuffersH_ && lineBuffersV_;
    const auto rowRecords = static_cast<std::size_t>(reservedWidth_) * kRecordBytes + 128;
    const auto columnState =
        static_cast<std::size_t>(reservedWidth_) * 64 / static_cast<std::size_t>(threadCount_);
    for (int t = 0; allocated && t < threadCount_; ++t) {
        platform::AlignedBytes& rows = lineBuffersH_[static_cast<std::size_t>(t)];
        platform::AlignedBytes& columns = lineBuffersV_[static_cast<std::size_t>(t)];
        rows = platform::allocateAlignedBytes(rowRecords, 32);
        columns = platform::allocateAlignedBytes(columnState, 32);
        allocated = rows && columns;
        if (rows) {
            // Record 0's weights: the left-to-right sweep starts from nothing.
            std::memset(rows.get(), 0, 32);
        }
    }
    if (!allocated) {
        // Leave nothing half-made for filter() to find.
        release();
    }
    return allocated;
}

void CRBFilterAVX2::setSigma(float sigmaSpatial, float sigmaRange) {
    if (sigmaSpatial == sigmaSpatial_ && sigmaRange == sigmaRange_) {
        return;
    }
    sigmaSpatial_ = sigmaSpatial;
    sigmaRange_ = sigmaRange;
    const FilterCoefficients coefficients = vectorCoefficients(sigmaSpatial, sigmaRange);
    invAlpha_ = coefficients.invAlpha;
    std::memcpy(rangeTable_.get(), coefficients.rangeTable.data(), sizeof(float) * kRangeTableSize);
}

void CRBFilterAVX2::horizontalPass(int stripe, const std::uint8_t* in, std::uint8_t* out,
                                   [[maybe_unused]] int width, int height, int pitch) {
    filterRows(rowStripe(stripe, threadCount_, height), in, out, height, pitch,
               {rangeTable_.get(), invAlpha_},
               lineBuffersH_[static_cast<std::size_t>(stripe)].get());
}

void CRBFilterAVX2::verticalPass(int stripe, const std::uint8_t* in, std::uint8_t* out, int width,
                                 int height, int pitch) {
    filterColumns(columnStripe(stripe, threadCount_, width), in, out, height, pitch,
                  {rangeTable_.get(), invAlpha_},
                  lineBuffersV_[static_cast<std::size_t>(stripe)].get());
}

// Besides the sizes and pointers, the pitch must be a whole number of column-stripe groups
// and fit the intermediate image: the passes cover every pixel position up to the pitch.
bool CRBFilterAVX2::accepts(const std::uint8_t* out, const std::uint8_t* in, int width, int height,
                            int pitch) const {
    return intermediate_ && width >= kSmallestVectorisedWidth && width <= reservedWidth_ &&
           height >= kSmallestVectorisedHeight && height <= reservedHeight_ &&
           std::int64_t{pitch} >= std::int64_t{width} * 4 && pitch % (threadCount_ * 32) == 0 &&
           pitch <= reservedWidth_ * 4 && out != nullptr && in != nullptr && invAlpha_ != 0 &&
           hasAVX2;
}

bool CRBFilterAVX2::filter(std::uint8_t* out, const std::uint8_t* in, int width, int height,
                           int pitch) {
    if (!accepts(out, in, width, height, pitch)) {
        return false;
    }
    std::uint8_t* intermediate = intermediate_.get();
    if (std::int64_t{width} * height <= kFilteredAlonePixelsMaximum) {
        for (int stripe = 0; stripe < threadCount_; ++stripe) {
            horizontalPass(stripe, in, intermediate, width, height, pitch);
        }
        for (int stripe = 0; stripe < threadCount_; ++stripe) {
            verticalPass(stripe, intermediate, out, width, height, pitch);
        }
        return true;
    }
    if (!helper_) {
        helper_ = std::make_unique<StripeHelper>();
    }
    const int last = threadCount_ - 1;
    helper_->start(
        {this, &CRBFilterAVX2::horizontalPass, last, in, intermediate, width, height, pitch});
    horizontalPass(last, in, intermediate, width, height, pitch);
    helper_->finish();
    helper_->start(
        {this, &CRBFilterAVX2::verticalPass, last, intermediate, out, width, height, pitch});
    verticalPass(last, intermediate, out, width, height, pitch);
    helper_->finish();
    return true;
}

StripeHelper::StripeHelper() : thread_([this] { serve(); }) {}

StripeHelper::~StripeHelper() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void StripeHelper::start(const Stripes& stripes) {
    {
        const std::lock_guard lock(mutex_);
        stripes_ = stripes;
        pending_ = true;
    }
    changed_.notify_all();
}

void StripeHelper::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
    if (failure_) {
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
}

void StripeHelper::serve() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return pending_ || stopping_; });
        if (stopping_) {
            return;
        }
        const Stripes stripes = stripes_;
        lock.unlock();
        std::exception_ptr failure;
        try {
            for (int stripe = 0; stripe < stripes.count; ++stripe) {
                (stripes.filter->*stripes.pass)(stripe, stripes.in, stripes.out, stripes.width,
                                                stripes.height, stripes.pitch);
            }
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        failure_ = failure;
        pending_ = false;
        changed_.notify_all();
    }
}

void CRBFilterAVX2::release() {
    intermediate_.reset();
    lineBuffersH_.reset();
    lineBuffersV_.reset();
    reservedWidth_ = 0;
    reservedHeight_ = 0;
    threadCount_ = 0;
}

}  // namespace velvix
