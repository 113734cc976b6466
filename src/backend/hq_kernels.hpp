// Kernels of the studio-quality presets.
//
// Included by the per-ISA translation units: plain declarations only.
//
// Row kernels: out[k] = sum_{t < row.n} x[k * step + t] * c[t] for k < count,
// every product with one row (frames of the same phase share their row),
// where c[t] = row.at[t], or row.at[-t] for a row read backward (a row held
// for the mirrored phase). float32: one float32 result per product. The
// scalar kernel adds the exact float32 products in float64, in index order,
// and rounds once (a single float32 running sum over several hundred taps
// would err near -130 dB); the vector kernels keep one fused float32 chain
// per lane over the whole vectors, sum the lanes at the end and fuse the
// tail in order, so float results differ between the scalar and the vector
// kernels in the last bits (and agree between the vector backends).
// float64: the same in double. int32: the float64 kernels with rows of
// 32-bit integers (int16 streams, on integer frames held as float64), each
// converted exactly as it is loaded; their products and sums are exact
// integers, so their results agree exactly on every backend.
//
// Pair kernels: the row kernel for two rows on the same windows: each
// result is exactly what the row kernel gives for its row alone; the pair
// only shares the loads of the windows.
//
// Split-row kernels: the row kernel for float32 frames with each row held
// in two precisions: taps [begin, end) in float64 (centre[t - begin], or
// centre[begin - t] read backward), the rest in float32 (at[t], at[-t]).
// The result is a float64 sum. The large taps near a row's centre carry
// almost all of its sum and keep float64's precision; the small taps of its
// tails, whose float32 rounding lies some 170 dB below full scale, run at
// twice the vector width. The scalar kernel adds the products (exact for
// float32 coefficients) in float64 in index order; the vector kernels keep
// one float64 chain per lane over the centre and one float32 chain per lane
// over the tails' whole vectors (begin and end are multiples of 8 with
// end <= n rounded down to a multiple of 8), sum the lanes of each, add the
// two and then the remaining taps in order, in float64.
//
// Half-band kernels: out[j] = centre * even[j] + sum_{k < taps} coeffs[k] *
// (odd[j - k - 1] + odd[j + k]) for j < n, where even[j] = x[2j] and
// odd[m] = x[2m + 1] of the decimator's input: each symmetric pair of taps
// is added (in float32) before it is multiplied; the scalar float32 kernel
// sums in float64 as above.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tenvira {

struct HqDesignLoops;

template <typename T>
struct HqRow {
    const T* at;
    bool backward;
    std::size_t n;
};

struct HqSplitRow {
    const float* at;
    const double* centre;  // the coefficient of tap `begin`
    bool backward;
    std::size_t n;
    std::size_t begin, end;
};

void hq_rows_f32_scalar(const float* x, std::size_t step, const HqRow<float>& row, std::size_t count, float* out) noexcept;
void hq_rows_f64_scalar(const double* x, std::size_t step, const HqRow<double>& row, std::size_t count, double* out) noexcept;
void hq_rows_i32_scalar(const double* x, std::size_t step, const HqRow<std::int32_t>& row, std::size_t count,
                        double* out) noexcept;
void hq_rows2_i32_scalar(const double* x, std::size_t step, const HqRow<std::int32_t>& a, const HqRow<std::int32_t>& b,
                         std::size_t count, double* out_a, double* out_b) noexcept;
void hq_rows2_f32_scalar(const float* x, std::size_t step, const HqRow<float>& a, const HqRow<float>& b, std::size_t count,
                      float* out_a, float* out_b) noexcept;
void hq_rows2_f64_scalar(const double* x, std::size_t step, const HqRow<double>& a, const HqRow<double>& b, std::size_t count,
                      double* out_a, double* out_b) noexcept;
void hq_rows_split_scalar(const float* x, std::size_t step, const HqSplitRow& row, std::size_t count,
                          double* out) noexcept;
void hq_rows2_split_scalar(const float* x, std::size_t step, const HqSplitRow& a, const HqSplitRow& b,
                           std::size_t count, double* out_a, double* out_b) noexcept;
void hq_half_band_f32_scalar(const float* even, const float* odd, const float* coeffs, std::size_t taps,
                             float centre, std::size_t n, float* out) noexcept;
void hq_half_band_f64_scalar(const double* even, const double* odd, const double* coeffs, std::size_t taps,
                             double centre, std::size_t n, double* out) noexcept;

// Require AVX2 and FMA.
const HqDesignLoops& hq_design_loops_avx2() noexcept;
void hq_rows_f32_avx2(const float* x, std::size_t step, const HqRow<float>& row, std::size_t count, float* out) noexcept;
void hq_rows_f64_avx2(const double* x, std::size_t step, const HqRow<double>& row, std::size_t count, double* out) noexcept;
void hq_rows_i32_avx2(const double* x, std::size_t step, const HqRow<std::int32_t>& row, std::size_t count,
                      double* out) noexcept;
void hq_rows2_i32_avx2(const double* x, std::size_t step, const HqRow<std::int32_t>& a, const HqRow<std::int32_t>& b,
                       std::size_t count, double* out_a, double* out_b) noexcept;
void hq_rows2_f32_avx2(const float* x, std::size_t step, const HqRow<float>& a, const HqRow<float>& b, std::size_t count,
                      float* out_a, float* out_b) noexcept;
void hq_rows2_f64_avx2(const double* x, std::size_t step, const HqRow<double>& a, const HqRow<double>& b, std::size_t count,
                      double* out_a, double* out_b) noexcept;
void hq_rows_split_avx2(const float* x, std::size_t step, const HqSplitRow& row, std::size_t count,
                        double* out) noexcept;
void hq_rows2_split_avx2(const float* x, std::size_t step, const HqSplitRow& a, const HqSplitRow& b,
                         std::size_t count, double* out_a, double* out_b) noexcept;
void hq_half_band_f32_avx2(const float* even, const float* odd, const float* coeffs, std::size_t taps, float centre,
                           std::size_t n, float* out) noexcept;
void hq_half_band_f64_avx2(const double* even, const double* odd, const double* coeffs, std::size_t taps,
                           double centre, std::size_t n, double* out) noexcept;

}  // namespace tenvira
