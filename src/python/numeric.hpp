// Numbers read straight from buffer memory, converted to samples with the
// values that reading them one Python item at a time would give: float32
// samples are float() of the item narrowed to float32 (a signalling NaN
// comes back quiet; integers are rounded to double first), int16 samples are
// the item's integer value. Everything here is plain memory work, so it may
// run without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tenvira::python {

enum class Element : std::uint8_t { None, Signed, Unsigned, Float };

// The item type of a buffer, from its struct-module format and item size:
// the integer codes of any size, 'f' and 'd'. Element::None for any other.
struct ItemType {
    Element element = Element::None;
    std::size_t size = 0;
};
ItemType item_type(const char* format, std::size_t itemsize) noexcept;

// `rows` × `cols` items in row-major order, item (r, c) at
// base + r·row_stride + c·col_stride (strides in bytes). A one-dimensional
// buffer is rows items of one column; a (frames, channels) array is its
// frames and channels, interleaved in row-major order.
struct NumericItems {
    const unsigned char* base = nullptr;
    ItemType type;
    std::size_t rows = 0;
    std::size_t cols = 1;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    std::size_t count() const noexcept { return rows * cols; }
    // Whether item i lies at base + i·size, in one contiguous run.
    bool contiguous() const noexcept;
};

// Items [first, first + count) converted to S (float or int16_t) into out.
// For int16, every item must hold an int16 value (see first_non_i16).
template <typename S>
void convert_items(const NumericItems& items, std::size_t first, std::size_t count, S* out) noexcept;

// The index of the first item that is not an integer from -32768 to 32767,
// or nothing when all are.
std::optional<std::size_t> first_non_i16(const NumericItems& items) noexcept;

// Whether any of n float32 values is a signalling NaN (which reading the
// items one by one would turn into a quiet one).
bool has_signalling_nan(const float* values, std::size_t n) noexcept;

}  // namespace tenvira::python
