#include "backend/fir_backend.hpp"

#include "backend/cpu_features.hpp"
#include "backend/kernels.hpp"

namespace tenvira {

namespace {

constexpr BackendRecord records[] = {
    {FirBackend::Scalar, "scalar", dot_f32_scalar, dot_i16_q15_scalar, dot_f32_scalar_batch, dot_i16_q15_scalar_batch},
    {FirBackend::Avx2Fma, "avx2+fma", dot_f32_avx2_inner, dot_i16_q15_avx2_inner, dot_f32_avx2_batch,
     dot_i16_q15_avx2_batch},
    {FirBackend::Avx512f, "avx512f", dot_f32_avx512_inner, dot_i16_q15_avx512_backend, dot_f32_avx512_batch,
     dot_i16_q15_avx512_backend_batch},
    // No vector kernels for these architectures in an x86-64 build.
    {FirBackend::Neon, "neon", dot_f32_scalar, dot_i16_q15_scalar, dot_f32_scalar_batch, dot_i16_q15_scalar_batch},
    {FirBackend::Rvv, "rvv", dot_f32_scalar, dot_i16_q15_scalar, dot_f32_scalar_batch, dot_i16_q15_scalar_batch},
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
