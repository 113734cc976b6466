// The fixed-ratio paths: a half-band filter for 8000 <-> 16000 and a
// third-band filter for 24000 -> 8000, stored sparse. Frames are computed a
// block at a time, column by column: each kept tap is added across the whole
// block at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "filter/filter_bank.hpp"
#include "resampler/sample_traits.hpp"
#include "resampler/stream_state.hpp"

namespace tenvira {

// The kept taps of one fixed filter, as the column kernels read them.
template <typename S>
class FixedTaps {
protected:
    using T = SampleTraits<S>;
    using Coeff = typename T::Coeff;
    using Acc = typename T::Acc;

    // `offsets`: the input offset of each kept tap from the frame's centre
    // sample. `q15` (the int16 taps) decides the groups whose partial sums
    // fit 32 bits; `centre_q15` opens the first group.
    FixedTaps(std::vector<std::int64_t> offsets, const AlignedBuffer<std::int16_t>& q15, std::int16_t centre_q15);

    // Plans up to `limit` frames from frames_out on: those with
    // trunc(i × ratio) < bound, where `due_end` is one past the last of them
    // (when bound is no_bound, every frame up to limit). Advances `position`
    // to (frames_out + n) × ratio, the repeated sum of the ratio on these
    // exact ratios.
    std::size_t plan_frames(const StreamState<S>& s, double& position, std::size_t limit, std::int64_t bound,
                            std::int64_t due_end) const;
    // results_[f] for f < n: centre[f]·c0 (nothing when centre is null) plus
    // the taps read through sources_.
    void compute_columns(const StreamState<S>& s, const S* centre, Coeff c0, const Coeff* coeffs, std::size_t count,
                         std::size_t n);

    std::vector<std::int64_t> tap_offsets_;
    std::vector<std::size_t> group_ends_;
    std::vector<const S*> sources_;
    std::vector<Acc> results_;
};

// 8000 -> 16000: even frames copy an input frame, odd frames interpolate.
template <typename S>
class HalfBandUpPath : FixedTaps<S> {
public:
    explicit HalfBandUpPath(const HalfBandFilter& filter);

    RenderPath kind() const noexcept { return RenderPath::HalfBandUp; }

    std::size_t plan(const StreamState<S>& s, double& position, std::size_t limit, std::int64_t bound) const;
    void render_block(StreamState<S>& s, S* out, std::size_t n);

private:
    using typename FixedTaps<S>::T;
    using typename FixedTaps<S>::Coeff;

    const Coeff* coeffs_;  // the doubled taps
    std::size_t count_;
};

// 16000 -> 8000 (step 2, half-band) and 24000 -> 8000 (step 3, third-band):
// frame i is centred on input frame step·i.
template <typename S>
class FixedDownPath : FixedTaps<S> {
public:
    FixedDownPath(const HalfBandFilter& filter);
    FixedDownPath(const ThirdBandFilter& filter);

    RenderPath kind() const noexcept { return step_ == 2 ? RenderPath::HalfBandDown : RenderPath::ThirdBandDown; }

    std::size_t plan(const StreamState<S>& s, double& position, std::size_t limit, std::int64_t bound) const;
    void render_block(StreamState<S>& s, S* out, std::size_t n);

private:
    using typename FixedTaps<S>::T;
    using typename FixedTaps<S>::Coeff;

    void split_phases(const S* x, std::size_t stride);

    int step_;
    const Coeff* coeffs_;
    std::size_t count_;
    Coeff centre_;
    // The block's input split into its `step` phases.
    std::vector<S> phased_;
};

extern template class HalfBandUpPath<float>;
extern template class HalfBandUpPath<std::int16_t>;
extern template class FixedDownPath<float>;
extern template class FixedDownPath<std::int16_t>;

}  // namespace tenvira
