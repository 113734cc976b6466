// The direct form of the studio stream's polyphase stage with exact rows
// (hq_stream.cpp): frames of one phase share their row, and frames of
// consecutive outputs share their windows. Included by hq_stream.cpp only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "backend/hq_backend.hpp"
#include "filter/hq_design.hpp"
#include "resampler/hq_stream_parts.hpp"

namespace tenvira::hq_detail {

// How frame i's phase reads its row and window, by i mod Q. Frames of
// consecutive outputs are paired: the later one (the partner, whose window
// starts delta frames after the head's) reads its row from delta taps
// before its start, against the head's window, so one window load serves
// both (the pair kernels). Which frames pair is fixed by i alone, so a
// frame's arithmetic does not depend on how the stream was cut into calls;
// neither reads a frame newer than its own newest tap.
enum class Role : std::uint8_t { Solo, Head, Partner };
struct Layout {
    Role role = Role::Solo;
    std::uint64_t delta = 0;  // window of the partner minus that of the head
};

// The layouts of a stage with exact rows, by output frame mod Q; all Solo
// where a partner's window could lie further from its head's than the rows'
// padding reaches (int16 streams of steep ratios, which skip half-band
// stages).
inline std::vector<Layout> pair_frames(const HqPolyphase& poly) {
    const std::uint64_t p = poly.step_num, q = poly.step_den;
    std::vector<Layout> layout(static_cast<std::size_t>(q));
    if ((p + q - 1) / q > poly.pad) return layout;
    for (std::uint64_t j = 0; j + 1 < q; j += 2) {
        const std::uint64_t delta = (j * p % q + p) / q;
        layout[static_cast<std::size_t>(j)] = {Role::Head, delta};
        layout[static_cast<std::size_t>(j + 1)] = {Role::Partner, delta};
    }
    return layout;
}

// Where the rows are read: the block's frames m < b (frame 0 is the
// stream's output frame `frames_out`), planned for m < min(Q, b): floor(t)
// in plan_n, phase in plan_phase; `first_tap` the oldest tap relative to
// floor(t); `line` the stage's input, with `pad` frames before the oldest
// tap of frame 0 still held.
template <typename W>
struct RowPlan {
    const Line<W>* line;
    const std::int64_t* plan_n;
    const std::uint64_t* plan_phase;
    std::int64_t first_tap;
    std::uint64_t frames_out;
    std::size_t b;
};

// Phase `phase`'s row, read from `shift` taps before the frame's oldest
// tap: held rows forward, mirrored ones backward from their far end (tap c
// of phase Q - r is tap taps - 1 + lead - c of row r, zero for c < lead,
// which the padding after the row provides).
template <typename C>
[[gnu::always_inline]] inline HqRow<C> row_of(const HqPolyphase& poly, const C* rows, std::uint64_t phase, std::size_t shift) {
    const auto taps = static_cast<std::size_t>(poly.taps), pad = static_cast<std::size_t>(poly.pad);
    const auto stride = static_cast<std::size_t>(poly.stride());
    const std::uint64_t q = poly.step_den;
    if (!poly.mirrored() || 2 * phase <= q) return {rows + phase * stride + pad - shift, false, taps + shift};
    const auto lead = static_cast<std::size_t>(poly.lead());
    return {rows + (q - phase) * stride + pad + taps - 1 + lead + shift, true, taps + shift};
}

// The same for a split row: its float32 taps as above, its float64 centre
// from the matching element of rows_centre.
inline HqSplitRow split_row_of(const HqPolyphase& poly, std::uint64_t phase, std::size_t shift) {
    const HqRow<float> tails = row_of(poly, poly.rows_f32.data(), phase, shift);
    const auto pad = static_cast<std::size_t>(poly.pad), taps = static_cast<std::size_t>(poly.taps);
    const auto begin = static_cast<std::size_t>(poly.centre_begin), first = static_cast<std::size_t>(poly.centre_first);
    const std::size_t held = tails.backward ? static_cast<std::size_t>(poly.step_den - phase) : static_cast<std::size_t>(phase);
    // The padded element of kernel tap `begin`.
    const std::size_t element = tails.backward ? pad + taps - 1 + static_cast<std::size_t>(poly.lead()) + shift - begin
                                               : pad - shift + begin;
    return {tails.at, poly.rows_centre.data() + held * static_cast<std::size_t>(poly.centre_stride) + element - first,
            tails.backward, tails.n, begin, static_cast<std::size_t>(poly.centre_end)};
}

// Phase `phase`'s row for arithmetic T, read from `shift` taps early.
template <typename T>
[[gnu::always_inline]] inline auto row_for(const HqPolyphase& poly, std::uint64_t phase, std::size_t shift) {
    if constexpr (requires { T::split_rows; }) {
        return split_row_of(poly, phase, shift);
    } else {
        return row_of(poly, T::rows(poly), phase, shift);
    }
}

// Output frames [0, b) of the block for one channel (out: its first
// sample, frames `channels` apart), from exact rows. Frames g, g + Q,
// g + 2Q, ... share a phase and so a row; their windows lie P frames
// apart. sa and sb hold ceil(b / Q) sums each.
template <typename T, typename S>
void render_rows(const HqPolyphase& poly, const HqKernels& kernels, const std::vector<Layout>& layout,
                 const RowPlan<typename T::W>& plan, std::uint64_t channels, S* out, typename T::R* sa,
                 typename T::R* sb) {
    using W = typename T::W;
    using R = typename T::R;
    const std::uint64_t q = poly.step_den;
    const auto step = static_cast<std::size_t>(poly.step_num);
    const std::size_t b = plan.b;
    const std::size_t groups = static_cast<std::size_t>(std::min<std::uint64_t>(q, b));
    const auto hop = static_cast<std::size_t>(q * channels);
    // Frames g + k Q of the block (k < count_of(g)) share slot g's phase;
    // frame g + k Q starts k P frames after frame g.
    const std::size_t periods = b / q, rest = b % q;
    const auto count_of = [&](std::size_t g) { return periods + (g < rest ? 1 : 0); };
    const auto window = [&](std::size_t g, std::size_t k, std::size_t shift) -> const W* {
        return plan.line->at(plan.plan_n[g] + static_cast<std::int64_t>(k * step) + plan.first_tap -
                             static_cast<std::int64_t>(shift));
    };
    const auto emit = [&](std::size_t g, std::size_t k0, std::size_t count, const R* sums) {
        S* to = out + (g + k0 * q) * channels;
        for (std::size_t k = 0; k < count; ++k) to[k * hop] = T::out(sums[k]);
    };
    std::size_t j = static_cast<std::size_t>(plan.frames_out % q);  // frame g's place in the pairing
    for (std::size_t g = 0; g < groups; ++g, j = j + 1 == q ? 0 : j + 1) {
        const Layout& at = layout[j];
        const auto delta = static_cast<std::size_t>(at.delta);
        const std::size_t count = count_of(g);
        if (at.role == Role::Partner) {
            // Paired with the head of the frame before, but for a first
            // frame whose head lies in the block before.
            if (g != 0) continue;
            T::dot(kernels, window(0, 0, delta), step, row_for<T>(poly, plan.plan_phase[0], delta), 1, sa);
            emit(0, 0, 1, sa);
            continue;
        }
        const auto own = row_for<T>(poly, plan.plan_phase[g], 0);
        std::size_t paired = 0;
        if (at.role == Role::Head) {
            // Its partners are frames g + 1 + k Q: slot g + 1's frames, or
            // slot 0's from the second on when g is the last slot.
            const bool wraps = g + 1 == q;
            const std::size_t mate = wraps ? 0 : g + 1, mate_k0 = wraps ? 1 : 0;
            paired = std::min(count, g + 1 < b ? count_of(mate) - mate_k0 : 0);
            if (paired > 0) {
                T::dot2(kernels, window(g, 0, 0), step, own, row_for<T>(poly, plan.plan_phase[mate], delta), paired,
                        sa, sb);
                emit(g, 0, paired, sa);
                emit(mate, mate_k0, paired, sb);
            }
        }
        if (count > paired) {
            T::dot(kernels, window(g, paired, 0), step, own, count - paired, sa);
            emit(g, paired, count - paired, sa);
        }
    }
}

}  // namespace tenvira::hq_detail
