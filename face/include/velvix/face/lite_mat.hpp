#pragma once

#include <cstddef>
#include <cstdint>

namespace velvix {

// The light matrix of face analysis: a type code, a size and row-major data. An owned buffer
// carries its reference count in the four bytes ahead of the data; copies share the buffer.
// An external matrix wraps memory that belongs to someone else and never counts or frees it.
class LiteMat {
  public:
    static constexpr std::int32_t kUint8 = 0;
    static constexpr std::int32_t kFloat32 = 5;

    LiteMat() = default;
    // An owned matrix with every element zero. Throws std::bad_alloc when it cannot be had.
    LiteMat(std::int32_t type, std::int32_t rows, std::int32_t cols);
    static LiteMat external(std::int32_t type, std::int32_t rows, std::int32_t cols, void* data);

    LiteMat(const LiteMat& other);
    LiteMat& operator=(const LiteMat& other);
    LiteMat(LiteMat&& other) noexcept;
    LiteMat& operator=(LiteMat&& other) noexcept;
    ~LiteMat() { release(); }

    // Gives up this matrix's share of its buffer; the buffer goes when the last share does.
    void release();

    std::int32_t type() const { return type_; }
    std::int32_t rows() const { return rows_; }
    std::int32_t cols() const { return cols_; }
    bool isExternal() const { return external_; }
    bool empty() const { return data_ == nullptr; }
    std::size_t elementSize() const { return type_ == kUint8 ? 1 : 4; }

    std::uint8_t* data() const { return data_; }
    // Inline: a landmark fit asks for tens of thousands of elements.
    float* floatRow(std::int32_t row) const {
        return reinterpret_cast<float*>(data_) +
               static_cast<std::size_t>(row) * static_cast<std::size_t>(cols_);
    }
    float& at(std::int32_t row, std::int32_t col) const { return floatRow(row)[col]; }
    std::uint8_t byteAt(std::int32_t row, std::int32_t col) const {
        return data_[static_cast<std::size_t>(row) * static_cast<std::size_t>(cols_) +
                     static_cast<std::size_t>(col)];
    }
    std::int32_t& intAt(std::int32_t row, std::int32_t col) const {
        return reinterpret_cast<std::int32_t*>(
            data_)[static_cast<std::size_t>(row) * static_cast<std::size_t>(cols_) +
                   static_cast<std::size_t>(col)];
    }

    // Float arithmetic, each giving a new matrix unless it says otherwise.
    LiteMat times(float factor) const;
    void divideInPlace(float divisor);
    LiteMat plus(const LiteMat& other) const;
    LiteMat product(const LiteMat& other) const;
    LiteMat transposed() const;
    // The 2 x 2 covariance of the two columns.
    LiteMat covariance() const;
    float frobeniusNorm() const;

  private:
    std::int32_t* counter() const;

    std::int32_t type_ = kFloat32;
    std::int32_t rows_ = 0;
    std::int32_t cols_ = 0;
    bool external_ = false;
    std::uint8_t* data_ = nullptr;
};

}  // namespace velvix
