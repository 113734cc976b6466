// The kernel record of the studio-quality presets for each backend, resolved
// once per stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "backend/fir_backend.hpp"
#include "backend/hq_blocks.hpp"
#include "backend/hq_kernels.hpp"
#include "filter/hq_design.hpp"

namespace tenvira {

struct HqKernels {
    const char* name;
    void (*rows_f32)(const float*, std::size_t, const HqRow<float>&, std::size_t, float*) noexcept;
    void (*rows_f64)(const double*, std::size_t, const HqRow<double>&, std::size_t, double*) noexcept;
    void (*rows2_f32)(const float*, std::size_t, const HqRow<float>&, const HqRow<float>&, std::size_t, float*, float*) noexcept;
    void (*rows2_f64)(const double*, std::size_t, const HqRow<double>&, const HqRow<double>&, std::size_t, double*,
                      double*) noexcept;
    void (*rows_i32)(const double*, std::size_t, const HqRow<std::int32_t>&, std::size_t, double*) noexcept;
    void (*rows2_i32)(const double*, std::size_t, const HqRow<std::int32_t>&, const HqRow<std::int32_t>&, std::size_t,
                      double*, double*) noexcept;
    void (*rows_split)(const float*, std::size_t, const HqSplitRow&, std::size_t, double*) noexcept;
    void (*rows2_split)(const float*, std::size_t, const HqSplitRow&, const HqSplitRow&, std::size_t, double*,
                        double*) noexcept;
    void (*half_band_f32)(const float*, const float*, const float*, std::size_t, float, std::size_t,
                          float*) noexcept;
    void (*half_band_f64)(const double*, const double*, const double*, std::size_t, double, std::size_t,
                          double*) noexcept;
    // The overlap-save blocks with this backend's vectors; null: run them as
    // the design built them (baseline vectors).
    std::shared_ptr<const HqVectorBlocks> (*vector_blocks)(const HqOverlapSave&);
};

// The kernels of `backend`. The "avx512f" backend runs the AVX2 kernels (the
// scalar ones if the processor lacks AVX2 or FMA): 512-bit versions of these
// row products, one chain per frame and lane, measured 10-20% slower than the
// 256-bit ones on AMD Zen 4, which splits every 512-bit operation in two.
// An architecture without vector kernels in this build runs the scalar ones.
const HqKernels& hq_kernels(FirBackend backend) noexcept;

// The studio design's loops for this processor (the same bits on every one):
// the AVX2 build where it runs, else the baseline one.
const HqDesignLoops& hq_design_loops() noexcept;

}  // namespace tenvira
