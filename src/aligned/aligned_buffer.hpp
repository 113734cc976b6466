// Immutable, 64-byte-aligned typed array for filter coefficients.
//
// Every coefficient row lives in one of these, so that the vector kernels read
// rows from aligned, contiguous memory. An empty buffer still owns a one-byte
// allocation, which keeps `data()` a valid aligned pointer in every state.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace tenvira {

namespace aligned_detail {
// Allocates max(bytes, 1) zeroed bytes at 64-byte alignment. Throws
// `InternalFault("invalid aligned layout")` when the size, rounded up to a
// multiple of 64, would exceed the signed 64-bit range, and `std::bad_alloc`
// when the allocation fails.
void* allocate_zeroed(std::size_t count, std::size_t element_size, std::size_t* size_out);
void release(void* p) noexcept;
}  // namespace aligned_detail

template <typename T>
class AlignedBuffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    static constexpr std::size_t alignment = 64;

    AlignedBuffer() : AlignedBuffer(std::span<const T>{}) {}

    explicit AlignedBuffer(std::span<const T> values)
        : AlignedBuffer(values.size(), [&](T* data) { std::copy(values.begin(), values.end(), data); }) {}

    // `count` zeroed elements, which `fill(T* data)` may then write: the
    // values are built in place, without a copy.
    template <typename Fill>
    AlignedBuffer(std::size_t count, Fill&& fill) {
        data_ = static_cast<T*>(aligned_detail::allocate_zeroed(count, sizeof(T), &size_));
        count_ = count;
        try {
            fill(data_);
        } catch (...) {
            aligned_detail::release(data_);
            throw;
        }
    }

    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;

    AlignedBuffer(AlignedBuffer&& other) noexcept
        : data_(other.data_), size_(other.size_), count_(other.count_) {
        other.data_ = nullptr;
        other.size_ = 0;
        other.count_ = 0;
    }

    AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
        if (this != &other) {
            aligned_detail::release(data_);
            data_ = other.data_;
            size_ = other.size_;
            count_ = other.count_;
            other.data_ = nullptr;
            other.size_ = 0;
            other.count_ = 0;
        }
        return *this;
    }

    ~AlignedBuffer() { aligned_detail::release(data_); }

    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    // Allocated bytes: count × sizeof(T), but at least 1.
    std::size_t byte_size() const noexcept { return size_; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + count_; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t count_ = 0;
};

}  // namespace tenvira
