// Integer and float64 helpers shared by every layer: saturating unsigned
// arithmetic and the float64-to-integer conversions of the stream counters.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace tenvira {

inline constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
inline constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();
inline constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();

// The first float64 values beyond the int64 and uint64 ranges.
inline constexpr double int64_limit = 0x1p63;
inline constexpr double uint64_limit = 0x1p64;
// From here on a float64 has no fraction bits; below it, x + 2^52 holds
// trunc(x) in its low mantissa bits for 0 <= x.
inline constexpr double exact_integer_limit = 0x1p52;

inline std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r = 0;
    return __builtin_add_overflow(a, b, &r) ? u64_max : r;
}

inline std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? u64_max : r;
}

// float64 -> signed 64-bit toward zero; NaN gives 0, out-of-range saturates.
inline std::int64_t trunc_i64(double x) noexcept {
    if (x >= 0.0 && x < int64_limit) return static_cast<std::int64_t>(x);  // the usual case
    if (std::isnan(x)) return 0;
    if (x >= int64_limit) return i64_max;
    if (x < -int64_limit) return i64_min;
    return static_cast<std::int64_t>(x);
}

// float64 -> unsigned 64-bit toward zero; NaN and negatives give 0.
inline std::uint64_t trunc_u64(double x) noexcept {
    if (x >= 0.0 && x < int64_limit) return static_cast<std::uint64_t>(static_cast<std::int64_t>(x));
    if (std::isnan(x) || x <= 0.0) return 0;
    if (x >= uint64_limit) return u64_max;
    return static_cast<std::uint64_t>(x);
}

}  // namespace tenvira
