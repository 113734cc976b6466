// The overlap-save blocks of the studio presets run with wider vectors than
// the baseline build has: AVX2 carries 4 float64 lanes where SSE2 carries 2,
// so the transforms of a stereo stream's phases take half as many passes.
// The results are those of HqOverlapSave::run bit for bit (see
// filter/hq_blocks.inc), so a stream gives the same output on every backend.
#pragma once

#include <cstddef>
#include <memory>

#include "filter/hq_fft.hpp"

namespace tenvira {

class HqVectorBlocks {
public:
    virtual ~HqVectorBlocks() = default;
    // As HqOverlapSave::work_size and run (`work` needs no alignment here).
    virtual std::size_t work_size(std::size_t channels) const noexcept = 0;
    virtual void run(std::size_t channels, const float* const* x, double* work, double* y) const = 0;
    virtual void run(std::size_t channels, const double* const* x, double* work, double* y) const = 0;
};

// Requires AVX2. Null where the baseline's vectors serve as well (float32
// blocks). The blocks must outlive the result (it reads their spectra).
// Throws std::bad_alloc.
std::shared_ptr<const HqVectorBlocks> hq_vector_blocks_avx2(const HqOverlapSave& blocks);

}  // namespace tenvira
