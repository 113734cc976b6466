#include "python/numeric.hpp"

#include <bit>
#include <cstring>
#include <type_traits>

namespace tenvira::python {

namespace {

constexpr std::uint32_t float_exponent = 0x7F800000u;
constexpr std::uint32_t float_mantissa = 0x007FFFFFu;
constexpr std::uint32_t float_quiet_bit = 0x00400000u;

// Buffers may place their items at any address: read them byte-wise.
template <typename T>
T load(const unsigned char* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// float() of the item, narrowed to float32.
template <typename T>
float to_f32(T x) noexcept {
    if constexpr (std::is_same_v<T, float>) {
        // Unchanged, except that a signalling NaN comes back quiet.
        auto bits = std::bit_cast<std::uint32_t>(x);
        if ((bits & float_exponent) == float_exponent && (bits & float_mantissa) != 0) bits |= float_quiet_bit;
        return std::bit_cast<float>(bits);
    } else if constexpr (std::is_same_v<T, double>) {
        return static_cast<float>(x);
    } else {
        return static_cast<float>(static_cast<double>(x));  // correctly rounded to double first
    }
}

template <typename T>
bool fits_i16(T x) noexcept {
    if constexpr (std::is_floating_point_v<T>) {
        return false;  // iterating raises TypeError for a float item
    } else if constexpr (std::is_signed_v<T>) {
        return x >= -32768 && x <= 32767;
    } else {
        return x <= 32767;
    }
}

template <typename S, typename T>
S convert(T x) noexcept {
    if constexpr (std::is_same_v<S, float>) {
        return to_f32(x);
    } else {
        return static_cast<S>(x);
    }
}

template <typename S, typename T>
void convert_typed(const NumericItems& items, std::size_t first, std::size_t count, S* out) noexcept {
    if (items.contiguous()) {
        const unsigned char* p = items.base + first * sizeof(T);
        for (std::size_t i = 0; i < count; ++i) out[i] = convert<S>(load<T>(p + i * sizeof(T)));
        return;
    }
    std::size_t r = first / items.cols;
    std::size_t c = first % items.cols;
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = convert<S>(load<T>(items.base + static_cast<std::ptrdiff_t>(r) * items.row_stride +
                                    static_cast<std::ptrdiff_t>(c) * items.col_stride));
        if (++c == items.cols) {
            c = 0;
            ++r;
        }
    }
}

template <typename T>
std::optional<std::size_t> first_non_i16_typed(const NumericItems& items) noexcept {
    for (std::size_t r = 0; r < items.rows; ++r) {
        for (std::size_t c = 0; c < items.cols; ++c) {
            const T x = load<T>(items.base + static_cast<std::ptrdiff_t>(r) * items.row_stride +
                                static_cast<std::ptrdiff_t>(c) * items.col_stride);
            if (!fits_i16(x)) return r * items.cols + c;
        }
    }
    return std::nullopt;
}

// Calls f with a value of the item's C type, to pick the typed loop.
template <typename F>
void with_type(ItemType t, F&& f) {
    switch (t.element) {
        case Element::Signed:
            switch (t.size) {
                case 1: return f(std::int8_t{});
                case 2: return f(std::int16_t{});
                case 4: return f(std::int32_t{});
                default: return f(std::int64_t{});
            }
        case Element::Unsigned:
            switch (t.size) {
                case 1: return f(std::uint8_t{});
                case 2: return f(std::uint16_t{});
                case 4: return f(std::uint32_t{});
                default: return f(std::uint64_t{});
            }
        case Element::Float:
            if (t.size == 4) return f(float{});
            return f(double{});
        case Element::None:
            return;
    }
}

}  // namespace

ItemType item_type(const char* format, std::size_t itemsize) noexcept {
    if (format == nullptr) return itemsize == 1 ? ItemType{Element::Unsigned, 1} : ItemType{};  // plain bytes
    if (*format == '@' || *format == '=' || *format == '<') ++format;  // this host is little-endian
    if (format[0] == '\0' || format[1] != '\0') return {};
    const bool integer_size = itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
    switch (format[0]) {
        case 'b': case 'h': case 'i': case 'l': case 'q':
            return integer_size ? ItemType{Element::Signed, itemsize} : ItemType{};
        case 'B': case 'H': case 'I': case 'L': case 'Q':
            return integer_size ? ItemType{Element::Unsigned, itemsize} : ItemType{};
        case 'f':
            return itemsize == 4 ? ItemType{Element::Float, 4} : ItemType{};
        case 'd':
            return itemsize == 8 ? ItemType{Element::Float, 8} : ItemType{};
        default:
            return {};
    }
}

bool NumericItems::contiguous() const noexcept {
    const auto size = static_cast<std::ptrdiff_t>(type.size);
    if (cols == 1) return rows <= 1 || row_stride == size;
    return col_stride == size && (rows <= 1 || row_stride == size * static_cast<std::ptrdiff_t>(cols));
}

template <typename S>
void convert_items(const NumericItems& items, std::size_t first, std::size_t count, S* out) noexcept {
    with_type(items.type, [&](auto t) { convert_typed<S, decltype(t)>(items, first, count, out); });
}

template void convert_items<float>(const NumericItems&, std::size_t, std::size_t, float*) noexcept;
template void convert_items<std::int16_t>(const NumericItems&, std::size_t, std::size_t, std::int16_t*) noexcept;

std::optional<std::size_t> first_non_i16(const NumericItems& items) noexcept {
    if (items.type.element == Element::Signed && items.type.size == 2) return std::nullopt;
    std::optional<std::size_t> bad;
    with_type(items.type, [&](auto t) { bad = first_non_i16_typed<decltype(t)>(items); });
    return bad;
}

bool has_signalling_nan(const float* values, std::size_t n) noexcept {
    // A signalling NaN's magnitude bits lie in [exponent + 1, exponent +
    // quiet bit - 1]: one unsigned comparison, no branches, so the loop runs
    // in vector registers.
    constexpr std::uint32_t first = float_exponent + 1;
    constexpr std::uint32_t count = float_quiet_bit - 1;
    std::uint32_t found = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t magnitude = std::bit_cast<std::uint32_t>(values[i]) & (float_exponent | float_mantissa);
        found |= static_cast<std::uint32_t>(magnitude - first < count);
    }
    return found != 0;
}

}  // namespace tenvira::python
