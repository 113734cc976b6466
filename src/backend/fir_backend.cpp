#include "backend/fir_backend.hpp"

#include <array>

namespace tenvira {

namespace {

// A cycle of rows computed row by row with a backend's shared-row kernel:
// frames r, r + period, r + 2·period, ... all read row r.
template <F32SharedKernel shared>
void cycle_by_rows(const F32CycleBatch& b) noexcept {
    for (std::size_t r = 0; r < b.period && r < b.count; ++r) {
        shared(F32SharedBatch{b.windows + r, b.period, b.rows[r], b.taps, (b.count - r + b.period - 1) / b.period,
                              b.out + r * b.stride, b.period * b.stride});
    }
}

// What one instruction set provides, and what it needs. A family left empty
// is not provided by that instruction set.
struct KernelSource {
    FeatureSet needs;
    F32Kernels f32;
    I16Kernels i16;
    ColumnKernels columns;
    PlanKernel plan;
};

constexpr KernelSource scalar_source = {
    FeatureSet(),
    {dot_f32_scalar, dot_f32_scalar_batch, dot_f32_scalar_shared, cycle_by_rows<dot_f32_scalar_shared>},
    {dot_i16_q15_scalar, dot_i16_q15_scalar_batch, dot_i16_q15_scalar_shared},
    {columns_f32_scalar, columns_i16_scalar},
    plan_frames_scalar,
};

constexpr KernelSource avx2_source = {
    FeatureSet(CpuFeature::Avx2) | CpuFeature::Fma,
    {dot_f32_avx2_inner, dot_f32_avx2_batch, dot_f32_avx2_shared, cycle_by_rows<dot_f32_avx2_shared>},
    {dot_i16_q15_avx2_inner, dot_i16_q15_avx2_batch, dot_i16_q15_avx2_shared},
    {columns_f32_avx2, columns_i16_avx2},
    plan_frames_avx2,
};

constexpr KernelSource avx512_source = {
    FeatureSet(CpuFeature::Avx512f),
    {dot_f32_avx512_inner, dot_f32_avx512_batch, dot_f32_avx512_shared, dot_f32_avx512_cycle},
    {},
    {},
    plan_frames_avx512,
};

// Sources of one family, best first; the scalar kernels close every list.
using Sources = std::array<const KernelSource*, 3>;

struct BackendRow {
    FirBackend backend;
    const char* name;
    FeatureSet needs;
    Sources f32_dots;
    Sources i16_dots;
    Sources columns;
    Sources planning;
};

constexpr Sources scalar_only = {&scalar_source, nullptr, nullptr};
constexpr Sources avx2_first = {&avx2_source, &scalar_source, nullptr};
constexpr Sources avx512_first = {&avx512_source, &avx2_source, &scalar_source};

// Indexed by FirBackend. The float32 products and the planning of the
// AVX-512F backend come from the AVX-512 unit; its int16 products and the
// fixed-ratio columns, whose results are the same on every backend, are the
// AVX2 ones where the processor has AVX2 and FMA.
constexpr BackendRow rows[] = {
    {FirBackend::Scalar, "scalar", FeatureSet(), scalar_only, scalar_only, scalar_only, scalar_only},
    {FirBackend::Avx2Fma, "avx2+fma", FeatureSet(CpuFeature::Avx2) | CpuFeature::Fma, avx2_first, avx2_first,
     avx2_first, avx2_first},
    {FirBackend::Avx512f, "avx512f", FeatureSet(CpuFeature::Avx512f), {&avx512_source, nullptr, nullptr},
     avx2_first, avx2_first, avx512_first},
    // No vector kernels for these architectures in an x86-64 build.
    {FirBackend::Neon, "neon", FeatureSet::unavailable(), scalar_only, scalar_only, scalar_only, scalar_only},
    {FirBackend::Rvv, "rvv", FeatureSet::unavailable(), scalar_only, scalar_only, scalar_only, scalar_only},
};

const BackendRow& row(FirBackend backend) noexcept { return rows[static_cast<std::size_t>(backend)]; }

const KernelSource& first_present(const Sources& sources, FeatureSet cpu) noexcept {
    for (const KernelSource* s : sources) {
        if (s != nullptr && cpu.contains(s->needs)) return *s;
    }
    return scalar_source;
}

// The backend a request names, and what "auto" tries, best first.
constexpr FirBackend auto_order[] = {FirBackend::Avx512f, FirBackend::Avx2Fma, FirBackend::Scalar};

FirBackend requested(BackendRequest request) noexcept {
    switch (request) {
        case BackendRequest::Auto:
        case BackendRequest::Scalar: return FirBackend::Scalar;
        case BackendRequest::Avx2: return FirBackend::Avx2Fma;
        case BackendRequest::Avx512: return FirBackend::Avx512f;
        case BackendRequest::Neon: return FirBackend::Neon;
        case BackendRequest::Rvv: return FirBackend::Rvv;
    }
    return FirBackend::Scalar;
}

}  // namespace

const char* backend_name(FirBackend backend) noexcept { return row(backend).name; }

Result<FirBackend> select_backend(BackendRequest request, const CpuFeatures& cpu) {
    const FeatureSet have = cpu.set();
    if (request == BackendRequest::Auto) {
        for (FirBackend b : auto_order) {
            if (have.contains(row(b).needs)) return b;
        }
        return FirBackend::Scalar;
    }
    const BackendRow& r = row(requested(request));
    if (!have.contains(r.needs)) return ResampleError::backend_unavailable(r.name);
    return r.backend;
}

Result<FirBackend> select_backend(BackendRequest request) { return select_backend(request, cpu_features()); }

Kernels resolve_kernels(FirBackend backend, const CpuFeatures& cpu) noexcept {
    const BackendRow& r = row(backend);
    const FeatureSet have = cpu.set();
    return Kernels{
        r.backend,
        r.name,
        first_present(r.f32_dots, have).f32,
        first_present(r.i16_dots, have).i16,
        first_present(r.columns, have).columns,
        first_present(r.planning, have).plan,
    };
}

Kernels resolve_kernels(FirBackend backend) noexcept { return resolve_kernels(backend, cpu_features()); }

}  // namespace tenvira
