// The overlap-save form of the studio presets' polyphase stage.
//
// The polyphase stage computes output frame i = jQ + s (0 <= s < Q) as the
// correlation of its row (phase sP mod Q) with the stage input from frame
// jP + floor(sP / Q) + first_tap on. Split into its P phases (every P-th
// frame), that input makes each s a sum of P correlations at the rate of j,
// with every P-th tap of the (shifted) row. A block of `groups` consecutive
// j reads `size` input frames: P forward real transforms of size / P frames,
// per s the sum of P products of spectra, and one inverse transform per s.
// P and Q may be taken `split` times their reduced values (more, shorter
// transforms), which fills the lanes of the vector transforms in streams of
// one channel. Transforms run as many at a time as a vector of the
// arithmetic has lanes (phases or channels), with the arithmetic of one per
// lane.
//
// The arithmetic is float32 (hq) or float64 (vhq) and fixed: a frame depends
// only on the input frames of its block, never on how the stream was split
// into calls or how many channels it has. One object serves every stream of
// its design (the plan and the phase filters' spectra are immutable); each
// call brings its own scratch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tenvira {

class HqOverlapSave {
public:
    // `rows`: Q rows of `taps` coefficients, row r of phase r / Q (reduced
    // P / Q). Blocks of `size` input frames, a multiple of 2 P split.
    HqOverlapSave(const double* rows, std::uint64_t taps, std::uint64_t p, std::uint64_t q, std::uint64_t split,
                  std::uint64_t size, bool wide);
    HqOverlapSave(HqOverlapSave&&) noexcept;
    HqOverlapSave& operator=(HqOverlapSave&&) noexcept;
    ~HqOverlapSave();

    // Groups (Q split output frames, P split input frames) per block of
    // `size` input frames, or 0 if the rows do not fit.
    static std::uint64_t groups_for(std::uint64_t size, std::uint64_t taps, std::uint64_t p, std::uint64_t q,
                                    std::uint64_t split) noexcept;
    // Estimated time per output frame and channel of a stream of `channels`
    // channels, in nanoseconds on the reference machine; `wide`: float64.
    static double cost_per_output(std::uint64_t size, std::uint64_t taps, std::uint64_t p, std::uint64_t q,
                                  std::uint64_t split, bool wide, std::uint64_t channels) noexcept;

    // The transform size (2^a 3^b 5^c, a multiple of 2 P split) and split
    // of the lowest estimated cost per output and channel below `ceiling`
    // (ns) for rows of `taps` whose newest tap is `ahead`, such that output
    // 0 reads no frame beyond stage-input frame `newest_limit`; size 0 if
    // none.
    struct Shape {
        std::uint64_t size = 0, split = 1;
    };
    static Shape cheapest(std::uint64_t taps, std::uint64_t ahead, std::uint64_t p, std::uint64_t q, bool wide,
                          std::uint64_t channels, double ceiling, std::uint64_t newest_limit) noexcept;

    // Input frames a block reads, from frame k stride() + first_tap on.
    std::uint64_t size() const noexcept { return size_; }
    std::uint64_t stride() const noexcept { return groups_ * p_; }
    std::uint64_t outputs() const noexcept { return groups_ * q_; }
    std::uint64_t split() const noexcept { return split_; }
    bool wide() const noexcept { return wide_; }
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

    // What runs these blocks with wider vectors needs (x86/hq_blocks_avx2):
    // P and Q times the split, the transform length, the groups per block
    // and the phase filters' spectra (float, or double where wide()), which
    // live as long as this object.
    struct Parts {
        std::size_t p, q, n, groups;
        const void* spectra;
    };
    Parts parts() const noexcept;

    struct Engine;

private:
    std::uint64_t p_, q_, split_, size_, groups_;
    bool wide_;
    std::unique_ptr<Engine> engine_;
};

}  // namespace tenvira
