#include "backend/fir_backend.hpp"

#include "backend/cpu_features.hpp"
#include "backend/kernels.hpp"

namespace tenvira {

namespace {

constexpr BackendRecord records[] = {
    {FirBackend::Scalar, "scalar", dot_f32_scalar, dot_i16_q15_scalar, dot_f32_scalar_batch, dot_i16_q15_scalar_batch,
     dot_f32_scalar_shared, dot_i16_q15_scalar_shared, columns_f32_scalar, columns_i16_scalar, plan_frames_scalar},
    {FirBackend::Avx2Fma, "avx2+fma", dot_f32_avx2_inner, dot_i16_q15_avx2_inner, dot_f32_avx2_batch,
     dot_i16_q15_avx2_batch, dot_f32_avx2_shared, dot_i16_q15_avx2_shared, columns_f32_avx2, columns_i16_avx2, plan_frames_avx2},
    {FirBackend::Avx512f, "avx512f", dot_f32_avx512_inner, dot_i16_q15_avx512_backend, dot_f32_avx512_batch,
     dot_i16_q15_avx512_backend_batch, dot_f32_avx512_shared, dot_i16_q15_avx512_backend_shared,
     columns_f32_avx512_backend, columns_i16_avx512_backend,
     plan_frames_avx512_backend},
    // No vector kernels for these architectures in an x86-64 build.
    {FirBackend::Neon, "neon", dot_f32_scalar, dot_i16_q15_scalar, dot_f32_scalar_batch, dot_i16_q15_scalar_batch,
     dot_f32_scalar_shared, dot_i16_q15_scalar_shared, columns_f32_scalar, columns_i16_scalar, plan_frames_scalar},
    {FirBackend::Rvv, "rvv", dot_f32_scalar, dot_i16_q15_scalar, dot_f32_scalar_batch, dot_i16_q15_scalar_batch,
     dot_f32_scalar_shared, dot_i16_q15_scalar_shared, columns_f32_scalar, columns_i16_scalar, plan_frames_scalar},
};

bool avx2_and_fma() noexcept { return has_feature(CpuFeature::Avx2) && has_feature(CpuFeature::Fma); }

}  // namespace

std::int64_t dot_i16_q15_avx512_backend(const std::int16_t* window, const std::int16_t* coeffs,
                                        std::size_t n) noexcept {
    return avx2_and_fma() ? dot_i16_q15_avx2_inner(window, coeffs, n) : dot_i16_q15_scalar(window, coeffs, n);
}

void dot_i16_q15_avx512_backend_batch(const std::int16_t* const* windows, const std::int16_t* const* rows,
                                      std::size_t n, std::size_t count, std::int64_t* out) noexcept {
    if (avx2_and_fma()) {
        dot_i16_q15_avx2_batch(windows, rows, n, count, out);
    } else {
        dot_i16_q15_scalar_batch(windows, rows, n, count, out);
    }
}

// Planning and the fixed-ratio columns use AVX2 where the processor has it.
std::size_t plan_frames_avx512_backend(double p, double d, std::size_t count, std::int64_t bound, double phases,
                                       std::uint64_t last_phase, const unsigned char* base, std::size_t row_bytes,
                                       std::int64_t* w, const void** rows) noexcept {
    if (has_feature(CpuFeature::Avx2)) return plan_frames_avx2(p, d, count, bound, phases, last_phase, base, row_bytes, w, rows);
    return plan_frames_scalar(p, d, count, bound, phases, last_phase, base, row_bytes, w, rows);
}

void columns_f32_avx512_backend(float* out, const float* centre, float c0, const float* const* sources,
                                const float* coeffs, std::size_t taps, std::size_t n) noexcept {
    if (has_feature(CpuFeature::Avx2)) {
        columns_f32_avx2(out, centre, c0, sources, coeffs, taps, n);
    } else {
        columns_f32_scalar(out, centre, c0, sources, coeffs, taps, n);
    }
}

void columns_i16_avx512_backend(std::int64_t* out, const std::int16_t* centre, std::int16_t c0,
                                const std::int16_t* const* sources, const std::int16_t* coeffs,
                                const std::size_t* group_ends, std::size_t groups, std::size_t n) noexcept {
    if (has_feature(CpuFeature::Avx2)) {
        columns_i16_avx2(out, centre, c0, sources, coeffs, group_ends, groups, n);
    } else {
        columns_i16_scalar(out, centre, c0, sources, coeffs, group_ends, groups, n);
    }
}

void dot_i16_q15_avx512_backend_shared(const std::int16_t* const* windows, std::size_t step,
                                       const std::int16_t* row, std::size_t n, std::size_t count,
                                       std::int64_t* out) noexcept {
    if (avx2_and_fma()) {
        dot_i16_q15_avx2_shared(windows, step, row, n, count, out);
    } else {
        dot_i16_q15_scalar_shared(windows, step, row, n, count, out);
    }
}

const BackendRecord& backend_record(FirBackend backend) noexcept {
    return records[static_cast<std::size_t>(backend)];
}

const char* backend_name(FirBackend backend) noexcept { return backend_record(backend).name; }

Result<FirBackend> select_backend(BackendRequest request, const CpuFeatures& cpu) {
    const bool avx2_fma = cpu.avx2 && cpu.fma;
    switch (request) {
        case BackendRequest::Auto:
            if (cpu.avx512f) return FirBackend::Avx512f;
            if (avx2_fma) return FirBackend::Avx2Fma;
            return FirBackend::Scalar;
        case BackendRequest::Scalar:
            return FirBackend::Scalar;
        case BackendRequest::Avx2:
            if (avx2_fma) return FirBackend::Avx2Fma;
            return ResampleError::backend_unavailable("avx2+fma");
        case BackendRequest::Avx512:
            if (cpu.avx512f) return FirBackend::Avx512f;
            return ResampleError::backend_unavailable("avx512f");
        case BackendRequest::Neon:
            return ResampleError::backend_unavailable("neon");
        case BackendRequest::Rvv:
            return ResampleError::backend_unavailable("rvv");
    }
    return FirBackend::Scalar;
}

Result<FirBackend> select_backend(BackendRequest request) { return select_backend(request, cpu_features()); }

}  // namespace tenvira
