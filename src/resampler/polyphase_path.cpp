#include "resampler/polyphase_path.hpp"

#include <algorithm>
#include <cmath>

#include "base/arith.hpp"

namespace tenvira {

template <typename S>
PolyphasePath<S>::PolyphasePath(const PolyphaseRows& rows, std::uint64_t taps, std::uint64_t phases)
    : bank_(T::rows(rows).data()),
      taps_(taps),
      phases_(phases),
      whole_(block_frames, 0),
      phase_(block_frames, 0),
      rows_(block_frames, nullptr),
      windows_(block_frames, nullptr),
      results_(block_frames, Acc{}) {}

// Each position is the float64 sum of the previous one and the ratio. While
// a position p and its successors stay in one binade [2^(e-1), 2^e), every
// such sum rounds alike (unless the ratio's part below the binade's unit is
// exactly half a unit: a tie), so p advances by a constant d and the k-th
// successor is exactly p + k·d. Such runs are planned by the backend's
// vector code; the few steps across binades, ties and the very first
// positions go one addition at a time. Either way the positions are those
// of the chain of additions.
template <typename S>
std::size_t PolyphasePath<S>::plan(const StreamState<S>& s, double& position, std::size_t limit, std::int64_t bound) {
    if (!(position + static_cast<double>(limit) * s.ratio < plain_position_limit)) {
        return plan_general(s, position, limit, bound);
    }
    const double ratio = s.ratio;
    PlanRun run{};
    run.bound = bound;
    run.phases = static_cast<double>(phases_);
    run.last_phase = static_cast<std::uint32_t>(phases_ - 1);
    const PlanKernel plan_run = s.kernels.plan;

    double p = position;
    std::size_t n = 0;
    while (n < limit) {
        const double next = ratio + p;
        std::size_t length = 1;
        double d = 0.0;
        if (p >= ratio && limit - n > 4) {
            int e = 0;
            std::frexp(p, &e);  // p in [2^(e-1), 2^e)
            const double top = std::ldexp(1.0, e);
            const double unit = std::ldexp(1.0, e - 53);
            d = next - p;  // exact: both are multiples of `unit` below `top`
            const double below = ratio - std::floor(ratio / unit) * unit;
            if (next < top && top <= exact_integer_limit && d > 0.0 && below != 0.5 * unit) {
                // The successors p + k·d, k <= length, all stay below `top`,
                // the position after the run included.
                const double room = std::floor((top - p) / d);
                length = room >= static_cast<double>(limit - n) ? limit - n : static_cast<std::size_t>(room);
                while (length > 1 && p + static_cast<double>(length) * d >= top) --length;
                if (length == 0) length = 1;
            }
        }
        run.start = p;
        run.step = length == 1 ? 0.0 : d;
        run.count = length;
        run.whole = whole_.data() + n;
        run.phase = phase_.data() + n;
        const std::size_t done = plan_run(run);
        n += done;
        if (length == 1) {
            if (done == 0) break;
            p = next;
            continue;
        }
        p = p + static_cast<double>(done) * d;
        if (done < length) break;
    }
    position = p;
    return n;
}

// The same plan with the saturating conversions, for positions near the int64
// limit, one addition at a time.
template <typename S>
std::size_t PolyphasePath<S>::plan_general(const StreamState<S>& s, double& position, std::size_t limit,
                                           std::int64_t bound) {
    const auto phases = static_cast<double>(phases_);
    std::size_t n = 0;
    for (; n < limit; ++n) {
        const std::int64_t w = trunc_i64(position);
        if (w >= bound) break;
        whole_[n] = w;
        const double frac = position - static_cast<double>(w);
        const std::uint64_t phase = std::min(trunc_u64(frac * phases), phases_ - 1);
        phase_[n] = static_cast<std::uint32_t>(phase);
        position = s.ratio + position;
    }
    return n;
}

template <typename S>
void PolyphasePath<S>::render_block(StreamState<S>& s, S* out, std::size_t n) {
    const std::uint64_t taps = taps_;
    const std::uint64_t channels = s.channels;
    const std::int64_t back = static_cast<std::int64_t>(taps / 2) - 1;  // window starts at w - back
    const std::int64_t lo = whole_[0] - back;
    const std::int64_t hi = whole_[n - 1] - back + static_cast<std::int64_t>(taps);

    // Windows that overlap or touch are read from one linear copy of the
    // block's input; far apart (strong decimation), each window is copied on
    // its own, so that the input between them is never touched. Every
    // channel goes through the same array in turn, so the window pointers
    // serve all of them.
    const auto span = static_cast<std::uint64_t>(hi - lo);
    const bool gather = span > n * taps;
    const std::size_t length = gather ? n * taps : static_cast<std::size_t>(span);
    if (s.linear.size() < length) s.linear.resize(length);
    {
        const S* linear = s.linear.data();
        const std::int64_t* __restrict whole = whole_.data();
        const S** __restrict windows = windows_.data();
        const std::int64_t first = lo + back;  // the frame whose window starts at linear[0]
        if (gather) {
            for (std::size_t f = 0; f < n; ++f) windows[f] = linear + f * taps;
        } else {
            std::size_t f = 0;
            for (; f + 4 <= n; f += 4) {
                windows[f] = linear + (whole[f] - first);
                windows[f + 1] = linear + (whole[f + 1] - first);
                windows[f + 2] = linear + (whole[f + 2] - first);
                windows[f + 3] = linear + (whole[f + 3] - first);
            }
            for (; f < n; ++f) windows[f] = linear + (whole[f] - first);
        }
    }
    // The rows the kernels read: every frame's, or one cycle's.
    const std::size_t period = row_period(n);
    {
        const Coeff* bank = bank_;
        const std::uint32_t* __restrict phase = phase_.data();
        const Coeff** __restrict rows = rows_.data();
        const std::size_t count = period == 0 ? n : period;
        std::size_t f = 0;
        for (; f + 4 <= count; f += 4) {
            rows[f] = bank + phase[f] * taps;
            rows[f + 1] = bank + phase[f + 1] * taps;
            rows[f + 2] = bank + phase[f + 2] * taps;
            rows[f + 3] = bank + phase[f + 3] * taps;
        }
        for (; f < count; ++f) rows[f] = bank + phase[f] * taps;
    }
    for (std::uint64_t k = 0; k < channels; ++k) {
        if (gather) {
            for (std::size_t f = 0; f < n; ++f) {
                const std::int64_t first = whole_[f] - back;
                s.rings[k].copy_range(first, first + static_cast<std::int64_t>(taps), s.linear.data() + f * taps);
            }
        } else {
            s.linear_input(k, lo, hi);
        }
        if (period == 0) {
            T::dot_frames(s.kernels, windows_.data(), rows_.data(), taps, n, out + k, channels, results_.data());
        } else {
            T::dot_cycle_frames(s.kernels, windows_.data(), rows_.data(), period, taps, n, out + k, channels,
                                results_.data());
        }
    }
}

// Common ratios cycle through a few rows: 48000 -> 16000 always reads row 0,
// 16000 -> 24000 three rows in turn. When the block's rows repeat with a
// short period, the frames that share a row are computed together, so the
// row is read once for several products. Returns the period, or 0 when the
// rows do not repeat within max_shared_rows or there are too few frames
// for this to pay.
template <typename S>
std::size_t PolyphasePath<S>::row_period(std::size_t n) {
    const std::uint32_t* phase = phase_.data();
    // The period of the previous block is the likely one: try it first. A
    // wrong period mostly shows within its first few frames; past them the
    // whole block is compared without early exits.
    const auto repeats = [&](std::size_t p) {
        if (p == 0 || 8 * p > n) return false;
        const std::size_t head = 2 * p + 8 < n ? 2 * p + 8 : n;
        for (std::size_t f = p; f < head; ++f) {
            if (phase[f] != phase[f - p]) return false;
        }
        std::uint32_t differ = 0;
        for (std::size_t f = head; f < n; ++f) differ |= phase[f] ^ phase[f - p];
        return differ == 0;
    };
    if (repeats(last_period_)) return last_period_;
    for (std::size_t p = 1; p <= max_shared_rows; ++p) {
        if (p != last_period_ && repeats(p)) return last_period_ = p;
    }
    return 0;
}

template class PolyphasePath<float>;
template class PolyphasePath<std::int16_t>;

}  // namespace tenvira
