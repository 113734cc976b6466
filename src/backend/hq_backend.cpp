#include "backend/hq_backend.hpp"

#include "backend/cpu_features.hpp"
#include "backend/hq_kernels.hpp"

namespace tenvira {

namespace {

constexpr HqKernels scalar = {"scalar", hq_rows_f32_scalar, hq_rows_f64_scalar, hq_rows2_f32_scalar,
                              hq_rows2_f64_scalar, hq_rows_i32_scalar, hq_rows2_i32_scalar, hq_rows_split_scalar, hq_rows2_split_scalar,
                              hq_half_band_f32_scalar, hq_half_band_f64_scalar, nullptr};
constexpr HqKernels avx2 = {"avx2+fma", hq_rows_f32_avx2, hq_rows_f64_avx2, hq_rows2_f32_avx2,
                            hq_rows2_f64_avx2, hq_rows_i32_avx2, hq_rows2_i32_avx2, hq_rows_split_avx2, hq_rows2_split_avx2,
                            hq_half_band_f32_avx2, hq_half_band_f64_avx2, hq_vector_blocks_avx2};

}  // namespace

const HqKernels& hq_kernels(FirBackend backend) noexcept {
    switch (backend) {
        case FirBackend::Avx2Fma:
            return avx2;
        case FirBackend::Avx512f:
            return has_feature(CpuFeature::Avx2) && has_feature(CpuFeature::Fma) ? avx2 : scalar;
        case FirBackend::Scalar:
        case FirBackend::Neon:
        case FirBackend::Rvv:
            break;
    }
    return scalar;
}

const HqDesignLoops& hq_design_loops() noexcept {
    return has_feature(CpuFeature::Avx2) && has_feature(CpuFeature::Fma) ? hq_design_loops_avx2()
                                                                         : hq_design_loops_baseline();
}

}  // namespace tenvira
