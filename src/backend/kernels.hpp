// Inner-product kernels of the polyphase FIR paths.
//
// This header is included by the per-ISA translation units, so it declares
// plain functions only and pulls in nothing but <cstddef> and <cstdint>.
//
// float32 kernels: window · coeffs over n elements, one float32 result. The
// scalar kernel multiplies and adds separately, in index order, from +0.0.
// The vector kernels chain fused multiply-adds into one accumulator per lane
// (blocks of 8 or 16 in order), sum the lanes strictly left to right and
// finish the remainder with scalar fused multiply-adds.
//
// int16 kernels: the exact signed 64-bit sum of the products. The AVX2 kernel
// sums pairs of products into eight wrapping 32-bit lanes, which is exact for
// the Q15 rows of the filter bank.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tenvira {

float dot_f32_scalar(const float* window, const float* coeffs, std::size_t n) noexcept;
std::int64_t dot_i16_q15_scalar(const std::int16_t* window, const std::int16_t* coeffs, std::size_t n) noexcept;

// Require AVX2 and FMA.
float dot_f32_avx2_inner(const float* window, const float* coeffs, std::size_t n) noexcept;
std::int64_t dot_i16_q15_avx2_inner(const std::int16_t* window, const std::int16_t* coeffs, std::size_t n) noexcept;

// Requires AVX-512F (and FMA, which detection demands alongside it).
float dot_f32_avx512_inner(const float* window, const float* coeffs, std::size_t n) noexcept;

// Batches: the single kernel's result for windows[d] and rows[d],
// d = 0 .. count-1, all of length n, stored to out[d * stride] (float32) or
// out[d] (int16). Each product is computed with exactly the arithmetic of its
// single kernel; the batch only lets independent products overlap in the
// pipeline.
void dot_f32_scalar_batch(const float* const* windows, const float* const* rows, std::size_t n, std::size_t count,
                          float* out, std::size_t stride) noexcept;
void dot_i16_q15_scalar_batch(const std::int16_t* const* windows, const std::int16_t* const* rows, std::size_t n,
                              std::size_t count, std::int64_t* out) noexcept;
void dot_f32_avx2_batch(const float* const* windows, const float* const* rows, std::size_t n, std::size_t count,
                        float* out, std::size_t stride) noexcept;
void dot_i16_q15_avx2_batch(const std::int16_t* const* windows, const std::int16_t* const* rows, std::size_t n,
                            std::size_t count, std::int64_t* out) noexcept;
void dot_f32_avx512_batch(const float* const* windows, const float* const* rows, std::size_t n, std::size_t count,
                          float* out, std::size_t stride) noexcept;

// Shared-row batches: the same with one row for every product, whose windows
// are windows[0], windows[step], windows[2·step], ...
void dot_f32_scalar_shared(const float* const* windows, std::size_t step, const float* row, std::size_t n,
                           std::size_t count, float* out, std::size_t stride) noexcept;
void dot_i16_q15_scalar_shared(const std::int16_t* const* windows, std::size_t step, const std::int16_t* row,
                               std::size_t n, std::size_t count, std::int64_t* out) noexcept;
void dot_f32_avx2_shared(const float* const* windows, std::size_t step, const float* row, std::size_t n,
                         std::size_t count, float* out, std::size_t stride) noexcept;
void dot_i16_q15_avx2_shared(const std::int16_t* const* windows, std::size_t step, const std::int16_t* row,
                             std::size_t n, std::size_t count, std::int64_t* out) noexcept;
void dot_f32_avx512_shared(const float* const* windows, std::size_t step, const float* row, std::size_t n,
                           std::size_t count, float* out, std::size_t stride) noexcept;

// Polyphase planning over a run of read positions q_k = p + k·d, k < count,
// which the caller guarantees to be the exact repeated sums and to lie in
// [0, 2^52): w[k] = trunc(q_k) and rows[k] = base + min(trunc(frac_k ·
// phases), last_phase) · row_bytes with frac_k = q_k - w[k]. Stops before
// the first frame whose w reaches `bound`; returns the frames planned.
std::size_t plan_frames_scalar(double p, double d, std::size_t count, std::int64_t bound, double phases,
                               std::uint64_t last_phase, const unsigned char* base, std::size_t row_bytes,
                               std::int64_t* w, const void** rows) noexcept;
// Requires AVX2.
std::size_t plan_frames_avx2(double p, double d, std::size_t count, std::int64_t bound, double phases,
                             std::uint64_t last_phase, const unsigned char* base, std::size_t row_bytes,
                             std::int64_t* w, const void** rows) noexcept;

// Fixed-ratio columns: out[f] = centre[f]·c0 + Σ_j sources[j][f]·coeffs[j]
// for f < n, or 0 + Σ_j ... when centre is null; the terms added in order of
// j. float32: each term a float32 product then a float32 addition, never
// fused. int16: the exact 64-bit sum; taps [group_ends[g-1], group_ends[g])
// (the centre in group 0) are summed in 32 bits first, which the caller has
// made exact by grouping taps whose magnitudes sum to at most 65535.
void columns_f32_scalar(float* out, const float* centre, float c0, const float* const* sources, const float* coeffs,
                        std::size_t taps, std::size_t n) noexcept;
void columns_i16_scalar(std::int64_t* out, const std::int16_t* centre, std::int16_t c0,
                        const std::int16_t* const* sources, const std::int16_t* coeffs, const std::size_t* group_ends,
                        std::size_t groups, std::size_t n) noexcept;
// Require AVX2.
void columns_f32_avx2(float* out, const float* centre, float c0, const float* const* sources, const float* coeffs,
                      std::size_t taps, std::size_t n) noexcept;
void columns_i16_avx2(std::int64_t* out, const std::int16_t* centre, std::int16_t c0,
                      const std::int16_t* const* sources, const std::int16_t* coeffs, const std::size_t* group_ends,
                      std::size_t groups, std::size_t n) noexcept;

}  // namespace tenvira
