// The studio design's inner loops compiled for AVX2 (filter/hq_design_loops.inc):
// the same bits as the baseline build, four float64 lanes at a time.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "backend/hq_kernels.hpp"
#include "filter/hq_design.hpp"

namespace tenvira {

namespace {

#include "filter/hq_design_loops.inc"

constexpr HqDesignLoops loops = {window_series, row_values, row_scale, quantise_row};

}  // namespace

const HqDesignLoops& hq_design_loops_avx2() noexcept { return loops; }

}  // namespace tenvira
