// The kernels of the FIR paths and the records their arguments come in.
//
// This header is included by the per-ISA translation units, so it declares
// plain structs and functions only and pulls in nothing but <cstddef> and
// <cstdint>.
//
// float32 inner products: window · coeffs over n elements, one float32
// result. The scalar kernel multiplies and adds separately, in index order,
// from +0.0. The vector kernels chain fused multiply-adds into one accumulator
// per lane (blocks of 8 or 16 in order), sum the lanes strictly left to right
// and finish the remainder with scalar fused multiply-adds.
//
// int16 inner products: the exact signed 64-bit sum of the products. The AVX2
// kernel sums pairs of products into eight wrapping 32-bit lanes, which is
// exact for the Q15 rows of the filter bank.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tenvira {

// A batch of inner products of one length: the single kernel's result for
// windows[d] and rows[d], d < count, stored to out[d * stride] (float32) or
// out[d] (int16). Each product is computed with exactly the arithmetic of its
// single kernel; the batch only lets independent products overlap.
struct F32Batch {
    const float* const* windows;
    const float* const* rows;
    std::size_t taps;
    std::size_t count;
    float* out;
    std::size_t stride;
};

struct I16Batch {
    const std::int16_t* const* windows;
    const std::int16_t* const* rows;
    std::size_t taps;
    std::size_t count;
    std::int64_t* out;
};

// The same with one row for every product, whose windows are windows[0],
// windows[step], windows[2·step], ...
struct F32SharedBatch {
    const float* const* windows;
    std::size_t step;
    const float* row;
    std::size_t taps;
    std::size_t count;
    float* out;
    std::size_t stride;
};

struct I16SharedBatch {
    const std::int16_t* const* windows;
    std::size_t step;
    const std::int16_t* row;
    std::size_t taps;
    std::size_t count;
    std::int64_t* out;
};

// Frames that step through a short cycle of rows: product d < count reads
// windows[d] with rows[d % period] and goes to out[d * stride]. Common
// ratios cycle through a few rows (48000 -> 16000 one, 16000 -> 24000
// three), and a backend may lay out a whole cycle's products at once.
struct F32CycleBatch {
    const float* const* windows;
    const float* const* rows;
    std::size_t period;
    std::size_t taps;
    std::size_t count;
    float* out;
    std::size_t stride;
};

// Fixed-ratio columns: out[f] = centre[f]·centre_coeff + Σ_j sources[j][f]·coeffs[j]
// for f < frames, or 0 + Σ_j ... when centre is null; the terms are added in
// order of j. float32: each term a float32 product then a float32 addition,
// never fused. int16: the exact 64-bit sum; taps [group_ends[g-1],
// group_ends[g]) (the centre in group 0) are summed in 32 bits first, which
// the caller has made exact by grouping taps whose magnitudes sum to at most
// 65535.
struct F32Columns {
    float* out;
    const float* centre;
    float centre_coeff;
    const float* const* sources;
    const float* coeffs;
    std::size_t taps;
    std::size_t frames;
};

struct I16Columns {
    std::int64_t* out;
    const std::int16_t* centre;
    std::int16_t centre_coeff;
    const std::int16_t* const* sources;
    const std::int16_t* coeffs;
    const std::size_t* group_ends;
    std::size_t groups;
    std::size_t frames;
};

// Polyphase planning over a run of read positions q_k = start + k·step,
// k < count, which the caller guarantees to be the exact repeated sums and to
// lie in [0, 2^52): whole[k] = trunc(q_k) and phase[k] = min(trunc(frac_k ·
// phases), last_phase) with frac_k = q_k - whole[k]. Stops before the first
// frame whose whole part reaches `bound`; returns the frames planned.
struct PlanRun {
    double start;
    double step;
    std::size_t count;
    std::int64_t bound;
    double phases;
    std::uint32_t last_phase;
    std::int64_t* whole;
    std::uint32_t* phase;
};

using DotF32 = float (*)(const float* window, const float* coeffs, std::size_t n) noexcept;
using DotI16 = std::int64_t (*)(const std::int16_t* window, const std::int16_t* coeffs, std::size_t n) noexcept;
using F32BatchKernel = void (*)(const F32Batch&) noexcept;
using I16BatchKernel = void (*)(const I16Batch&) noexcept;
using F32SharedKernel = void (*)(const F32SharedBatch&) noexcept;
using F32CycleKernel = void (*)(const F32CycleBatch&) noexcept;
using I16SharedKernel = void (*)(const I16SharedBatch&) noexcept;
using F32ColumnsKernel = void (*)(const F32Columns&) noexcept;
using I16ColumnsKernel = void (*)(const I16Columns&) noexcept;
using PlanKernel = std::size_t (*)(const PlanRun&) noexcept;

// The reference kernels: every other kernel is checked against these.
float dot_f32_scalar(const float* window, const float* coeffs, std::size_t n) noexcept;
std::int64_t dot_i16_q15_scalar(const std::int16_t* window, const std::int16_t* coeffs, std::size_t n) noexcept;
void dot_f32_scalar_batch(const F32Batch& b) noexcept;
void dot_i16_q15_scalar_batch(const I16Batch& b) noexcept;
void dot_f32_scalar_shared(const F32SharedBatch& b) noexcept;
void dot_i16_q15_scalar_shared(const I16SharedBatch& b) noexcept;
void columns_f32_scalar(const F32Columns& c) noexcept;
void columns_i16_scalar(const I16Columns& c) noexcept;
std::size_t plan_frames_scalar(const PlanRun& run) noexcept;
// Frames from..count-1 of a run, exactly as plan_frames_scalar plans them;
// returns the index of the first frame not due, or count.
std::size_t plan_frames_scalar_from(const PlanRun& run, std::size_t from) noexcept;

// src/backend/x86/avx2.cpp; require AVX2 and FMA.
float dot_f32_avx2_inner(const float* window, const float* coeffs, std::size_t n) noexcept;
std::int64_t dot_i16_q15_avx2_inner(const std::int16_t* window, const std::int16_t* coeffs, std::size_t n) noexcept;
void dot_f32_avx2_batch(const F32Batch& b) noexcept;
void dot_i16_q15_avx2_batch(const I16Batch& b) noexcept;
void dot_f32_avx2_shared(const F32SharedBatch& b) noexcept;
void dot_i16_q15_avx2_shared(const I16SharedBatch& b) noexcept;
void columns_f32_avx2(const F32Columns& c) noexcept;
void columns_i16_avx2(const I16Columns& c) noexcept;
std::size_t plan_frames_avx2(const PlanRun& run) noexcept;

// src/backend/x86/avx512.cpp; require AVX-512F (and FMA, which detection
// demands alongside it).
float dot_f32_avx512_inner(const float* window, const float* coeffs, std::size_t n) noexcept;
void dot_f32_avx512_batch(const F32Batch& b) noexcept;
void dot_f32_avx512_shared(const F32SharedBatch& b) noexcept;
void dot_f32_avx512_cycle(const F32CycleBatch& b) noexcept;
std::size_t plan_frames_avx512(const PlanRun& run) noexcept;

}  // namespace tenvira
