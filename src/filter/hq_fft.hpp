// The overlap-save form of the studio presets' polyphase stage.
//
// The polyphase stage computes output frame i = jQ + s (0 <= s < Q) as the
// correlation of its row (phase sP mod Q) with the stage input from frame
// jP + floor(sP / Q) + first_tap on. Split into its P phases (every P-th
// frame), that input makes each s a sum of P correlations at the rate of j,
// with every P-th tap of the (shifted) row. A block of `groups` consecutive
// j reads `size` input frames: P forward real transforms of size / P frames,
// per s the sum of P products of spectra, and one inverse transform per s.
// Transforms run two at a time in the lanes of one vector (phases, or
// channels), with the arithmetic of one per lane.
//
// Everything here is float64 and fixed: the arithmetic of a frame depends
// only on the input frames of its block, never on how the stream was split
// into calls or how many channels it has. One object serves every stream of
// its design (the plan and the phase filters' spectra are immutable); each
// call brings its own scratch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "aligned/aligned_buffer.hpp"

namespace tenvira {

class HqOverlapSave {
public:
    // `rows`: Q rows of `taps` coefficients, row r of phase r / Q. Blocks of
    // groups_for(size, ...) groups (Q output frames, P stage-input frames
    // each); size must be a multiple of 2P.
    HqOverlapSave(const double* rows, std::uint64_t taps, std::uint64_t p, std::uint64_t q, std::uint64_t size);
    HqOverlapSave(HqOverlapSave&&) noexcept;
    HqOverlapSave& operator=(HqOverlapSave&&) noexcept;
    ~HqOverlapSave();

    // Groups per block of `size` input frames, or 0 if the rows do not fit.
    static std::uint64_t groups_for(std::uint64_t size, std::uint64_t taps, std::uint64_t p, std::uint64_t q) noexcept;
    // Estimated time per output frame of a mono stream, in nanoseconds on
    // the reference machine.
    static double cost_per_output(std::uint64_t size, std::uint64_t taps, std::uint64_t p, std::uint64_t q) noexcept;

    // Input frames a block reads, from frame groups() P k + first_tap on.
    std::uint64_t size() const noexcept { return size_; }
    std::uint64_t groups() const noexcept { return groups_; }
    std::uint64_t outputs() const noexcept { return groups_ * q_; }
    // Bytes of the spectra and the plan, for the memory accounts.
    std::size_t byte_size() const noexcept;

    // Doubles of scratch that run() needs for `channels` channels.
    std::size_t work_size(std::size_t channels) const noexcept;

    // One block of every channel: x[c] points to the block's first input
    // frame of channel c (float or double), size() frames; writes
    // outputs() frames per channel to `y`, channel after channel. `work`
    // is 16-byte aligned. Throws std::bad_alloc (the transforms allocate
    // their own scratch).
    template <typename W>
    void run(std::size_t channels, const W* const* x, double* work, double* y) const;

private:
    struct Plans;
    std::uint64_t p_, q_, size_, groups_;
    std::unique_ptr<Plans> plans_;
    // Per s and phase r: the conjugate spectrum of every P-th tap of the
    // shifted row, scaled by P / size, in half-complex order.
    AlignedBuffer<double> spectra_;
};

}  // namespace tenvira
