// Compute backends: which kernels an engine uses for its inner products.
//
// Each backend is one row: its display name, the processor features it
// requires, and where each family of kernels comes from. A request is turned
// into a backend by looking the rows up; an engine resolves its row into one
// set of kernel entry points once, at construction, and calls through it.
#pragma once

#include <cstdint>

#include "backend/cpu_features.hpp"
#include "backend/kernels.hpp"
#include "base/config.hpp"
#include "base/result.hpp"

namespace tenvira {

enum class FirBackend : std::uint8_t { Scalar = 0, Avx2Fma = 1, Avx512f = 2, Neon = 3, Rvv = 4 };

struct F32Kernels {
    DotF32 dot;
    F32BatchKernel batch;
    F32SharedKernel shared;
    F32CycleKernel cycle;
};

struct I16Kernels {
    DotI16 dot;
    I16BatchKernel batch;
    I16SharedKernel shared;
};

struct ColumnKernels {
    F32ColumnsKernel f32;
    I16ColumnsKernel i16;
};

// The kernel entry points of one backend on this processor.
struct Kernels {
    FirBackend backend;
    const char* name;
    F32Kernels f32;
    I16Kernels i16;
    ColumnKernels columns;
    PlanKernel plan;
};

// The display name: "scalar", "avx2+fma", "avx512f", "neon" or "rvv".
const char* backend_name(FirBackend backend) noexcept;

// Turns a request into the backend this processor can run, or
// `BackendUnavailable` carrying the display name of the one it cannot.
Result<FirBackend> select_backend(BackendRequest request);
// The same decision for a given feature record.
Result<FirBackend> select_backend(BackendRequest request, const CpuFeatures& cpu);

// The kernels of `backend` for a processor with `cpu`'s features: each family
// from the first of the backend's sources whose features are present. The
// float32 inner products always come from the backend's own instruction set,
// which selection has made sure of.
Kernels resolve_kernels(FirBackend backend, const CpuFeatures& cpu) noexcept;
Kernels resolve_kernels(FirBackend backend) noexcept;

}  // namespace tenvira
