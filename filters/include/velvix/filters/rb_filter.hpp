#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "velvix/platform/aligned_bytes.hpp"

// The recursive bilateral filter over images of 4 bytes per pixel: each pixel becomes a running,
// normalised average whose neighbour weights decay per pixel step and fall with the colour
// difference between adjacent pixels, along rows in both directions and then along columns in
// both directions.
namespace velvix {

inline constexpr int kMinimumFilterWidth = 16;
inline constexpr int kMinimumFilterHeight = 2;
inline constexpr int kMaximumFilterSize = 10000;
// The smallest picture the vectorised passes filter: two column stripes of 16 pixels, and a
// 16-row block for the transposes.
inline constexpr int kSmallestVectorisedWidth = 32;
inline constexpr int kSmallestVectorisedHeight = 16;

// Pictures of up to this many pixels (a face's area) the vectorised filter takes on the calling
// thread alone: handing a stripe to the helper thread and waiting for it costs more processor
// time than a small picture's stripe saves (a second face of 200 pixels cost about 0.9 ms more
// with it).
inline constexpr std::int64_t kFilteredAlonePixelsMaximum = 256 * 1024;

inline bool vectorisedFilterTakes(int width, int height) {
    return width >= kSmallestVectorisedWidth && height >= kSmallestVectorisedHeight &&
           width <= kMaximumFilterSize && height <= kMaximumFilterSize;
}
inline constexpr int kRangeTableSize = 256;

using RangeTable = std::array<float, kRangeTableSize>;

class CRBFilterAVX2;

// One thread that runs the stripes the calling thread hands over, for as long as it lives, so
// that filtering an image starts no thread.
class StripeHelper {
  public:
    using Pass = void (CRBFilterAVX2::*)(int, const std::uint8_t*, std::uint8_t*, int, int, int);
    struct Stripes {
        CRBFilterAVX2* filter = nullptr;
        Pass pass = nullptr;
        int count = 0;  // stripes 0 ... count - 1, one after the other
        const std::uint8_t* in = nullptr;
        std::uint8_t* out = nullptr;
        int width = 0;
        int height = 0;
        int pitch = 0;
    };

    StripeHelper();
    ~StripeHelper();
    StripeHelper(const StripeHelper&) = delete;
    StripeHelper& operator=(const StripeHelper&) = delete;

    void start(const Stripes& stripes);
    // Waits until the stripes are done; an exception of theirs is thrown here.
    void finish();

  private:
    void serve();

    std::mutex mutex_;
    std::condition_variable changed_;
    Stripes stripes_;
    bool pending_ = false;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

// The vectorised filter (AVX2 and fused multiply-add), its rows and columns divided into stripes
// that run on two threads, the caller's and a helper thread the object starts on the first
// filter() of a picture larger than kFilteredAlonePixelsMaximum and keeps; smaller pictures are
// filtered stripe after stripe on the caller's. One object serves images up to the size given to
// initialize().
class CRBFilterAVX2 {
  public:
    CRBFilterAVX2();
    ~CRBFilterAVX2();
    CRBFilterAVX2(const CRBFilterAVX2&) = delete;
    CRBFilterAVX2& operator=(const CRBFilterAVX2&) = delete;

    // Sizes the object for images up to width x height (16 ... 10000 x 2 ... 10000). False,
    // leaving the object as it was, for a size outside these limits; false and unsized when an
    // allocation fails.
    bool initialize(int width, int height);

    // Computes the spatial decay and the range table, unless both values are the ones in use.
    void setSigma(float sigmaSpatial, float sigmaRange);

    // One stripe of the row pass (source to intermediate image) or of the column pass
    // (intermediate image to output). `pitch` is the row distance of both images.
    void horizontalPass(int stripe, const std::uint8_t* in, std::uint8_t* out, int width,
                        int height, int pitch);
    void verticalPass(int stripe, const std::uint8_t* in, std::uint8_t* out, int width, int height,
                      int pitch);

    // Filters `in` into `out`, both with rows `pitch` bytes apart and pitch x height bytes in
    // size. False, before anything is read or written, when the object is not sized and ready
    // for this image or the processor has no AVX2.
    bool filter(std::uint8_t* out, const std::uint8_t* in, int width, int height, int pitch);

    // Frees the image-sized buffers; the coefficients stay.
    void release();

    int reservedWidth() const { return reservedWidth_; }
    int reservedHeight() const { return reservedHeight_; }
    int threadCount() const { return threadCount_; }
    float invAlpha() const { return invAlpha_; }
    const float* rangeTable() const { return rangeTable_.get(); }

  private:
    bool accepts(const std::uint8_t* out, const std::uint8_t* in, int width, int height,
                 int pitch) const;

    int reservedWidth_ = 0;
    int reservedHeight_ = 0;
    int threadCount_ = 0;
    float sigmaSpatial_ = 0;
    float sigmaRange_ = 0;
    float invAlpha_ = 0;
    std::unique_ptr<float[], platform::AlignedDeleter> rangeTable_;
    platform::AlignedBytes intermediate_;
    std::unique_ptr<platform::AlignedBytes[]> lineBuffersH_;
    std::unique_ptr<platform::AlignedBytes[]> lineBuffersV_;
    std::unique_ptr<StripeHelper> helper_;
};

// The spatial decay per pixel step and the range table of each path, for the given parameters.
struct FilterCoefficients {
    float alpha = 0;
    float invAlpha = 0;
    RangeTable rangeTable{};
};
FilterCoefficients vectorCoefficients(float sigmaSpatial, float sigmaRange);
FilterCoefficients scalarCoefficients(float sigmaSpatial, float sigmaRange);

// Working memory of the scalar filter: running colours (4 floats per pixel) and factors of the
// four sweeps.
struct ScalarBuffers {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::unique_ptr<float[]> colourRight;
    std::unique_ptr<float[]> factorRight;
    std::unique_ptr<float[]> colourLeft;
    std::unique_ptr<float[]> factorLeft;
    std::unique_ptr<float[]> colourDown;
    std::unique_ptr<float[]> factorDown;
    std::unique_ptr<float[]> colourUp;
    std::unique_ptr<float[]> factorUp;

    // Sets the sizes and allocates the eight buffers (throws std::bad_alloc).
    void allocate(int imageWidth, int imageHeight, int channelCount);
    // Frees the buffers and zeroes the sizes.
    void empty();
};

// The colour distance of the scalar filter, by buffers.channels: 1: d0; 2: (d0 + d1) / 2;
// 3: (d0 + d2) / 4 + d1 / 2; 4: (d0 + d1 + d2 + d3) / 4; otherwise 0.
int channelDistance(const ScalarBuffers& buffers, const std::uint8_t* a, const std::uint8_t* b);

// The filter for processors without AVX2, on the calling thread. Images are tightly packed.
void filterScalar(ScalarBuffers& buffers, const std::uint8_t* in, std::uint8_t* out,
                  float sigmaSpatial, float sigmaRange, int width, int height);

}  // namespace velvix
