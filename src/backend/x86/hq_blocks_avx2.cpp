// The overlap-save blocks with AVX2 vectors (see backend/hq_blocks.hpp).
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

#include "backend/hq_blocks.hpp"

namespace tenvira {

namespace {

// pocketfft and the blocks compiled for AVX2, in this unnamed namespace: the
// baseline build of the same templates (filter/hq_fft.cpp) must never be
// replaced by these at link time, nor these by it.
#define POCKETFFT_NO_MULTITHREADING
#include "pocketfft/pocketfft_hdronly.h"
#include "filter/hq_blocks.inc"

// float64 blocks only (see hq_vector_blocks_avx2 below).
class Avx2Blocks final : public HqVectorBlocks {
public:
    explicit Avx2Blocks(const HqOverlapSave::Parts& parts)
        : runner_(parts.p, parts.q, parts.n, parts.groups, static_cast<const double*>(parts.spectra)) {}

    // With room to align the start to a whole vector.
    std::size_t work_size(std::size_t channels) const noexcept override {
        return runner_.work_size(channels) + BlockRunner<double>::L;
    }
    void run(std::size_t channels, const float* const* x, double* work, double* y) const override {
        runner_.run(channels, x, aligned(work), y);
    }
    void run(std::size_t channels, const double* const* x, double* work, double* y) const override {
        runner_.run(channels, x, aligned(work), y);
    }

private:
    static constexpr std::size_t vector_bytes = sizeof(double) * BlockRunner<double>::L;

    static double* aligned(double* work) noexcept {
        const auto at = reinterpret_cast<std::uintptr_t>(work);
        return reinterpret_cast<double*>((at + vector_bytes - 1) / vector_bytes * vector_bytes);
    }

    BlockRunner<double> runner_;
};

}  // namespace

std::shared_ptr<const HqVectorBlocks> hq_vector_blocks_avx2(const HqOverlapSave& blocks) {
    // float32 blocks stay on the baseline's four lanes: with eight, the
    // streams measured 10-25% slower (lanes left empty, and the transforms of
    // a full eight-lane group cost about 1.4 times a four-lane one).
    if (!blocks.wide()) return nullptr;
    return std::make_shared<const Avx2Blocks>(blocks.parts());
}

}  // namespace tenvira
