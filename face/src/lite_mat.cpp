#include "velvix/face/lite_mat.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace velvix {
namespace {

constexpr std::size_t kCounterBytes = sizeof(std::int32_t);

std::size_t elementSizeOf(std::int32_t type) {
    return type == LiteMat::kUint8 ? 1 : 4;
}

}  // namespace

LiteMat::LiteMat(std::int32_t type, std::int32_t rows, std::int32_t cols)
    : type_(type), rows_(rows), cols_(cols) {
    if (rows < 0 || cols < 0) {
        throw std::bad_alloc();
    }
    // Elements are addressed with 32-bit indexes; anything larger is a damaged size.
    const std::size_t elements = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    if (elements > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::bad_alloc();
    }
    const std::size_t size = elementSizeOf(type);
    void* block = std::calloc(1, elements * size + kCounterBytes);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    data_ = static_cast<std::uint8_t*>(block) + kCounterBytes;
    *counter() = 1;
}

LiteMat LiteMat::external(std::int32_t type, std::int32_t rows, std::int32_t cols, void* data) {
    LiteMat matrix;
    matrix.type_ = type;
    matrix.rows_ = rows;
    matrix.cols_ = cols;
    matrix.external_ = true;
    matrix.data_ = static_cast<std::uint8_t*>(data);
    return matrix;
}

LiteMat::LiteMat(const LiteMat& other)
    : type_(other.type_),
      rows_(other.rows_),
      cols_(other.cols_),
      external_(other.external_),
      data_(other.data_) {
    if (data_ != nullptr && !external_) {
        ++*counter();
    }
}

LiteMat& LiteMat::operator=(const LiteMat& other) {
    if (this != &other) {
        LiteMat copy(other);
        *this = std::move(copy);
    }
    return *this;
}

LiteMat::LiteMat(LiteMat&& other) noexcept
    : type_(other.type_),
      rows_(other.rows_),
      cols_(other.cols_),
      external_(other.external_),
      data_(std::exchange(other.data_, nullptr)) {}

LiteMat& LiteMat::operator=(LiteMat&& other) noexcept {
    if (this != &other) {
        release();
        type_ = other.type_;
        rows_ = other.rows_;
        cols_ = other.cols_;
        external_ = other.external_;
        data_ = std::exchange(other.data_, nullptr);
    }
    return *this;
}

void LiteMat::release() {
    if (data_ != nullptr && !external_ && --*counter() == 0) {
        std::free(data_ - kCounterBytes);
    }
    data_ = nullptr;
}

std::int32_t* LiteMat::counter() const {
    return reinterpret_cast<std::int32_t*>(data_ - kCounterBytes);
}

LiteMat LiteMat::times(float factor) const {
    LiteMat result(kFloat32, rows_, cols_);
    for (std::int32_t r = 0; r < rows_; ++r) {
        for (std::int32_t c = 0; c < cols_; ++c) {
            result.at(r, c) = at(r, c) * factor;
        }
    }
    return result;
}

void LiteMat::divideInPlace(float divisor) {
    for (std::int32_t r = 0; r < rows_; ++r) {
        for (std::int32_t c = 0; c < cols_; ++c) {
            at(r, c) /= divisor;
        }
    }
}

LiteMat LiteMat::plus(const LiteMat& other) const {
    LiteMat result(kFloat32, rows_, cols_);
    for (std::int32_t r = 0; r < rows_; ++r) {
        for (std::int32_t c = 0; c < cols_; ++c) {
            result.at(r, c) = at(r, c) + other.at(r, c);
        }
    }
    return result;
}

LiteMat LiteMat::product(const LiteMat& other) const {
    LiteMat result(kFloat32, rows_, other.cols_);
    for (std::int32_t r = 0; r < rows_; ++r) {
        for (std::int32_t c = 0; c < other.cols_; ++c) {
            float sum = 0.0f;
            for (std::int32_t k = 0; k < cols_; ++k) {
                sum += at(r, k) * other.at(k, c);
            }
            result.at(r, c) = sum;
        }
    }
    return result;
}

LiteMat LiteMat::transposed() const {
    LiteMat result(kFloat32, cols_, rows_);
    for (std::int32_t r = 0; r < rows_; ++r) {
        for (std::int32_t c = 0; c < cols_; ++c) {
            result.at(c, r) = at(r, c);
        }
    }
    return result;
}

LiteMat LiteMat::covariance() const {
    const auto n = static_cast<float>(rows_);
    float sumX = 0.0f;
    float sumY = 0.0f;
    float sumXX = 0.0f;
    float sumYY = 0.0f;
    for (std::int32_t r = 0; r < rows_; ++r) {
        sumX += at(r, 0);
        sumY += at(r, 1);
        sumXX += at(r, 0) * at(r, 0);
        sumYY += at(r, 1) * at(r, 1);
    }
    const float meanX = sumX / n;
    const float meanY = sumY / n;
    float sumXY = 0.0f;
    for (std::int32_t r = 0; r < rows_; ++r) {
        sumXY += (at(r, 0) - meanX) * (at(r, 1) - meanY);
    }
    LiteMat result(kFloat32, 2, 2);
    result.at(0, 0) = sumXX / n - meanX * meanX;
    result.at(1, 1) = sumYY / n - meanY * meanY;
    result.at(0, 1) = sumXY / n;
    result.at(1, 0) = result.at(0, 1);
    return result;
}

float LiteMat::frobeniusNorm() const {
    float sum = 0.0f;
    for (std::int32_t r = 0; r < rows_; ++r) {
        for (std::int32_t c = 0; c < cols_; ++c) {
            sum += at(r, c) * at(r, c);
        }
    }
    return std::sqrt(sum);
}

}  // namespace velvix
