// Compute backends: which kernels an engine uses for its inner products.
//
// Each backend is one record (display name and kernel entry points). An
// engine resolves its record once at construction and calls through it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backend/cpu_features.hpp"
#include "base/config.hpp"
#include "base/result.hpp"

namespace tenvira {

enum class FirBackend : std::uint8_t { Scalar = 0, Avx2Fma = 1, Avx512f = 2, Neon = 3, Rvv = 4 };

using DotF32 = float (*)(const float*, const float*, std::size_t) noexcept;
using DotI16 = std::int64_t (*)(const std::int16_t*, const std::int16_t*, std::size_t) noexcept;
using DotF32Batch = void (*)(const float* const*, const float* const*, std::size_t, std::size_t, float*,
                             std::size_t) noexcept;
using DotI16Batch = void (*)(const std::int16_t* const*, const std::int16_t* const*, std::size_t, std::size_t,
                             std::int64_t*) noexcept;

using ColumnsF32 = void (*)(float*, const float*, float, const float* const*, const float*, std::size_t,
                            std::size_t) noexcept;
using ColumnsI16 = void (*)(std::int64_t*, const std::int16_t*, std::int16_t, const std::int16_t* const*,
                            const std::int16_t*, const std::size_t*, std::size_t, std::size_t) noexcept;

using DotF32Shared = void (*)(const float* const*, std::size_t, const float*, std::size_t, std::size_t, float*,
                              std::size_t) noexcept;
using DotI16Shared = void (*)(const std::int16_t* const*, std::size_t, const std::int16_t*, std::size_t,
                              std::size_t, std::int64_t*) noexcept;
using PlanFrames = std::size_t (*)(double, double, std::size_t, std::int64_t, double, std::uint64_t,
                                   const unsigned char*, std::size_t, std::int64_t*, const void**) noexcept;

struct BackendRecord {
    FirBackend backend;
    const char* name;
    DotF32 dot_f32;
    DotI16 dot_i16;
    // The same products, several at a time (see kernels.hpp).
    DotF32Batch dot_f32_batch;
    DotI16Batch dot_i16_batch;
    // Batches whose products all use one row.
    DotF32Shared dot_f32_shared;
    DotI16Shared dot_i16_shared;
    // The fixed-ratio paths' sums across frames (see kernels.hpp); identical
    // results on every backend.
    ColumnsF32 columns_f32;
    ColumnsI16 columns_i16;
    // Read positions and rows of a run of polyphase frames (see kernels.hpp).
    PlanFrames plan_frames;
};

// The display name: "scalar", "avx2+fma", "avx512f", "neon" or "rvv".
const char* backend_name(FirBackend backend) noexcept;

const BackendRecord& backend_record(FirBackend backend) noexcept;

// Turns a request into the backend this processor can run, or
// `BackendUnavailable` carrying the display name of the one it cannot.
Result<FirBackend> select_backend(BackendRequest request);
// The same decision for a given feature record.
Result<FirBackend> select_backend(BackendRequest request, const CpuFeatures& cpu);

// The int16 kernel of the AVX-512F backend: the AVX2 kernel when the
// processor reports AVX2 and FMA, tested at each call, else the scalar one.
std::int64_t dot_i16_q15_avx512_backend(const std::int16_t* window, const std::int16_t* coeffs,
                                        std::size_t n) noexcept;
void dot_i16_q15_avx512_backend_shared(const std::int16_t* const* windows, std::size_t step,
                                       const std::int16_t* row, std::size_t n, std::size_t count,
                                       std::int64_t* out) noexcept;
std::size_t plan_frames_avx512_backend(double p, double d, std::size_t count, std::int64_t bound, double phases,
                                       std::uint64_t last_phase, const unsigned char* base, std::size_t row_bytes,
                                       std::int64_t* w, const void** rows) noexcept;
void columns_f32_avx512_backend(float* out, const float* centre, float c0, const float* const* sources,
                                const float* coeffs, std::size_t taps, std::size_t n) noexcept;
void columns_i16_avx512_backend(std::int64_t* out, const std::int16_t* centre, std::int16_t c0,
                                const std::int16_t* const* sources, const std::int16_t* coeffs,
                                const std::size_t* group_ends, std::size_t groups, std::size_t n) noexcept;
void dot_i16_q15_avx512_backend_batch(const std::int16_t* const* windows, const std::int16_t* const* rows,
                                      std::size_t n, std::size_t count, std::int64_t* out) noexcept;

}  // namespace tenvira
