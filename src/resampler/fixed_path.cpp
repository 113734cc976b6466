#include "resampler/fixed_path.hpp"

#include <cstdlib>

#include "base/arith.hpp"

namespace tenvira {

namespace {

// Partial sums of int16 taps stay within 32 bits while the magnitudes of
// their coefficients add up to at most this: no sample exceeds 2^15 in
// magnitude, and (2^16 - 1) · 2^15 < 2^31.
constexpr std::int64_t max_group_magnitude = 65535;

std::vector<std::int64_t> negated(const std::vector<std::int64_t>& v) {
    std::vector<std::int64_t> out;
    out.reserve(v.size());
    for (std::int64_t d : v) out.push_back(-d);
    return out;
}

// dst[r][t] = x[step·t + r]: one pass over x per call, written so that the
// compiler can keep each phase's stores in vector registers.
template <typename S, int step>
void deinterleave(const S* __restrict x, std::size_t count, S* __restrict dst, std::size_t stride) {
    S* __restrict p0 = dst;
    S* __restrict p1 = dst + stride;
    S* __restrict p2 = dst + 2 * stride;
    for (std::size_t t = 0; t < count; ++t) {
        p0[t] = x[step * t];
        p1[t] = x[step * t + 1];
        if constexpr (step == 3) p2[t] = x[step * t + 2];
    }
}

}  // namespace

template <typename S>
FixedTaps<S>::FixedTaps(std::vector<std::int64_t> offsets, const AlignedBuffer<std::int16_t>& q15,
                        std::int16_t centre_q15)
    : tap_offsets_(std::move(offsets)), sources_(tap_offsets_.size(), nullptr), results_(block_frames, Acc{}) {
    // Groups of consecutive int16 taps whose sums cannot leave 32 bits.
    std::int64_t sum = std::abs(std::int64_t{centre_q15});
    for (std::size_t j = 0; j < q15.size(); ++j) {
        const std::int64_t c = std::abs(std::int64_t{q15[j]});
        if (sum + c > max_group_magnitude) {
            group_ends_.push_back(j);
            sum = 0;
        }
        sum += c;
    }
    group_ends_.push_back(q15.size());
}

template <typename S>
std::size_t FixedTaps<S>::plan_frames(const StreamState<S>& s, double& position, std::size_t limit,
                                      std::int64_t bound, std::int64_t due_end) const {
    std::size_t n = 0;
    if (position + static_cast<double>(limit) * s.ratio < plain_position_limit) {
        // The ratios 0.5, 2 and 3 keep every position the exact product
        // frames_out × ratio, so the due frames follow from integers.
        if (bound == no_bound) {
            n = limit;
        } else {
            const std::int64_t due = due_end > s.frames_out ? due_end - s.frames_out : 0;
            n = std::min<std::size_t>(limit, static_cast<std::size_t>(due));
        }
        position = static_cast<double>(s.frames_out + static_cast<std::int64_t>(n)) * s.ratio;
        return n;
    }
    // Near the int64 limit: the saturating conversions, one addition at a time.
    for (; n < limit && trunc_i64(position) < bound; ++n) position = s.ratio + position;
    return n;
}

template <typename S>
void FixedTaps<S>::compute_columns(const StreamState<S>& s, const S* centre, Coeff c0, const Coeff* coeffs,
                                   std::size_t count, std::size_t n) {
    T::columns(s.kernels, results_.data(), centre, c0, sources_.data(), coeffs, count, n, group_ends_);
}

template <typename S>
HalfBandUpPath<S>::HalfBandUpPath(const HalfBandFilter& filter)
    : FixedTaps<S>(filter.input_offsets, filter.coeffs_x2_q15, 0),
      coeffs_(T::coeffs_x2(filter).data()),
      count_(T::coeffs_x2(filter).size()) {}

template <typename S>
std::size_t HalfBandUpPath<S>::plan(const StreamState<S>& s, double& position, std::size_t limit,
                                    std::int64_t bound) const {
    // floor(i / 2) < bound; no bound at the end of the stream
    const std::int64_t due_end = bound == no_bound || bound <= 0 ? 0 : 2 * bound;
    return this->plan_frames(s, position, limit, bound, due_end);
}

template <typename S>
void HalfBandUpPath<S>::render_block(StreamState<S>& s, S* out, std::size_t n) {
    const std::uint64_t channels = s.channels;
    // Frame i copies input frame i/2 when i is even and interpolates around
    // it when i is odd.
    const std::int64_t i0 = s.frames_out;
    const std::int64_t m0 = i0 / 2;
    const auto reach = static_cast<std::int64_t>(s.taps / 2);
    const std::int64_t lo = m0 - reach;
    const std::int64_t hi = (i0 + static_cast<std::int64_t>(n) - 1) / 2 + reach + 1;
    // Odd frames of the block: the first one and how many.
    const std::size_t first_odd = static_cast<std::size_t>(i0 % 2 == 0 ? 1 : 0);
    const std::size_t odd_count = n > first_odd ? (n - first_odd + 1) / 2 : 0;
    const std::int64_t m_first_odd = (i0 + static_cast<std::int64_t>(first_odd)) / 2;

    const std::size_t first_even = 1 - first_odd;
    const std::size_t even_count = n > first_even ? (n - first_even + 1) / 2 : 0;
    const std::int64_t m_first_even = (i0 + static_cast<std::int64_t>(first_even)) / 2;
    for (std::uint64_t k = 0; k < channels; ++k) {
        const S* x = s.linear_input(k, lo, hi);
        // Even frames are input samples; odd frames start from zero and add
        // the doubled taps in order.
        const S* odd_in = x + (m_first_odd - lo);
        for (std::size_t j = 0; j < count_; ++j) this->sources_[j] = odd_in + this->tap_offsets_[j];
        this->compute_columns(s, nullptr, Coeff{}, coeffs_, count_, odd_count);
        S* even_out = out + first_even * channels + k;
        const S* even_in = x + (m_first_even - lo);
        for (std::size_t q = 0; q < even_count; ++q) even_out[2 * q * channels] = even_in[q];
        S* odd_out = out + first_odd * channels + k;
        for (std::size_t q = 0; q < odd_count; ++q) odd_out[2 * q * channels] = T::output(this->results_[q]);
    }
}

// The half-band offsets are subtracted from the centre on the way down, the
// third-band offsets added.
template <typename S>
FixedDownPath<S>::FixedDownPath(const HalfBandFilter& filter)
    : FixedTaps<S>(negated(filter.offsets), filter.coeffs_q15, filter.center_q15),
      step_(2),
      coeffs_(T::coeffs(filter).data()),
      count_(T::coeffs(filter).size()),
      centre_(T::center(filter)) {}

template <typename S>
FixedDownPath<S>::FixedDownPath(const ThirdBandFilter& filter)
    : FixedTaps<S>(filter.offsets, filter.coeffs_q15, filter.center_q15),
      step_(3),
      coeffs_(T::coeffs(filter).data()),
      count_(T::coeffs(filter).size()),
      centre_(T::center(filter)) {}

template <typename S>
std::size_t FixedDownPath<S>::plan(const StreamState<S>& s, double& position, std::size_t limit,
                                   std::int64_t bound) const {
    // step · i < bound; no bound at the end of the stream
    const std::int64_t due_end = bound == no_bound || bound <= 0 ? 0 : (bound - 1) / step_ + 1;
    return this->plan_frames(s, position, limit, bound, due_end);
}

template <typename S>
void FixedDownPath<S>::split_phases(const S* x, std::size_t stride) {
    if (step_ == 2) {
        deinterleave<S, 2>(x, stride, phased_.data(), stride);
    } else {
        deinterleave<S, 3>(x, stride, phased_.data(), stride);
    }
}

// Frame i is centred on input frame m = step·i, so the block's input is split
// into its `step` phases first: phase r holds the frames step·q + r. Every tap
// of every frame then reads one phase at unit stride.
template <typename S>
void FixedDownPath<S>::render_block(StreamState<S>& s, S* out, std::size_t n) {
    const std::uint64_t channels = s.channels;
    const std::int64_t step = step_;
    const auto reach = static_cast<std::int64_t>(s.taps / 2);
    const std::int64_t pad = reach / step + 1;
    const auto stride = static_cast<std::size_t>(static_cast<std::int64_t>(n) + 2 * pad);
    const std::int64_t m0 = step * s.frames_out;
    const std::int64_t lo = m0 - step * pad;  // phase r, index t holds input frame lo + step·t + r
    const std::int64_t hi = lo + step * static_cast<std::int64_t>(stride);
    if (phased_.size() < static_cast<std::size_t>(step) * stride) phased_.resize(static_cast<std::size_t>(step) * stride);

    // Tap j reads input m + d: phase (d mod step), shifted by floor(d / step).
    for (std::size_t j = 0; j < count_; ++j) {
        const std::int64_t d = this->tap_offsets_[j];
        const std::int64_t shift = d >= 0 ? d / step : -((-d + step - 1) / step);
        const std::int64_t r = d - step * shift;
        this->sources_[j] = phased_.data() + static_cast<std::size_t>(r) * stride + static_cast<std::size_t>(pad + shift);
    }
    const S* centre = phased_.data() + pad;

    for (std::uint64_t k = 0; k < channels; ++k) {
        split_phases(s.linear_input(k, lo, hi), stride);
        this->compute_columns(s, centre, centre_, coeffs_, count_, n);
        for (std::size_t f = 0; f < n; ++f) out[f * channels + k] = T::output(this->results_[f]);
    }
}

template class HalfBandUpPath<float>;
template class HalfBandUpPath<std::int16_t>;
template class FixedDownPath<float>;
template class FixedDownPath<std::int16_t>;

}  // namespace tenvira
