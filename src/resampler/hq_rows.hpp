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
// consecutive outputs whose rows lie on the same side (held or mirrored)
// are paired: the pair's two rows, read from the padding on, cover the
// same window, so one window load serves both (the pair kernels). Which
// frames pair is fixed by i alone, so a frame's arithmetic does not
// depend on how the stream was cut into calls.
enum class Role : std::uint8_t { Solo, Head, Partner };
struct Layout {
    Role role = Role::Solo;
    std::uint64_t delta = 0;  // window of the partner minus that of the head
};

// The layouts of a stage with exact rows, by output frame mod Q; all Solo
// where the rows have no padding.
inline std::vector<Layout> pair_frames(const HqPolyphase& poly) {
    const std::uint64_t p = poly.step_num, q = poly.step_den;
    std::vector<Layout> layout(static_cast<std::size_t>(q));
    if (poly.pad == 0) return layout;
    const auto side = [&](std::uint64_t j) { return poly.mirrored() && 2 * (j * p % q) > q; };
    for (std::uint64_t j = 0; j + 1 < q;) {
        if (side(j) != side(j + 1)) {
            ++j;
            continue;
        }
        const std::uint64_t delta = (j * p % q + p) / q;
        layout[static_cast<std::size_t>(j)] = {Role::Head, delta};
        layout[static_cast<std::size_t>(j + 1)] = {Role::Partner, delta};
        j += 2;
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

// Output frames [0, b) of the block for one channel (out: its first
// sample, frames `channels` apart), from exact rows. Frames g, g + Q,
// g + 2Q, ... share a phase and so a row; their windows lie P frames
// apart. sa and sb hold b sums each; reversed_frames and window are scratch.
template <typename T, typename S>
void render_rows(const HqPolyphase& poly, const HqKernels& kernels, const std::vector<Layout>& layout,
                 const RowPlan<typename T::W>& plan, std::uint64_t channels, S* out, typename T::R* sa,
                 typename T::R* sb, std::vector<typename T::W>& reversed_frames, std::vector<typename T::W>& window) {
    using W = typename T::W;
    using R = typename T::R;
    const Line<W>& line = *plan.line;
    const std::int64_t* plan_n = plan.plan_n;
    const std::uint64_t* plan_phase = plan.plan_phase;
    const std::int64_t first_tap = plan.first_tap;
    const std::size_t b = plan.b;
    const std::uint64_t q = poly.step_den;
    const auto step = static_cast<std::size_t>(poly.step_num);
    const auto taps = static_cast<std::size_t>(poly.taps);
    const auto pad = static_cast<std::size_t>(poly.pad);
    const auto stride = static_cast<std::size_t>(poly.stride());
    const auto lead = static_cast<std::size_t>(poly.taps - 2 * poly.ahead);
    const auto* rows = T::rows(poly);
    const std::size_t groups = static_cast<std::size_t>(std::min<std::uint64_t>(q, b));
    const auto hop = static_cast<std::size_t>(q * channels);
    // Frames g + k Q of the block (k < count_of(g)) share slot g's phase;
    // frame g + k Q starts k P frames after frame g.
    const std::size_t periods = b / q, rest = b % q;
    const auto count_of = [&](std::size_t g) { return periods + (g < rest ? 1 : 0); };
    const auto start_of = [&](std::size_t g, std::size_t k) {
        return plan_n[g] + static_cast<std::int64_t>(k * step) + first_tap;
    };
    // The block's windows reversed, for the rows held mirrored: frame
    // n + first_tap + t is reversed[last - n - t], for t from -pad on.
    const std::int64_t last = start_of((b - 1) % q, (b - 1) / q) + static_cast<std::int64_t>(taps) - 1;
    W* reversed = nullptr;
    if (poly.mirrored()) {
        const auto span = static_cast<std::size_t>(last - (plan_n[0] + first_tap) + 1);
        reversed_frames.resize(span + pad);
        reversed = reversed_frames.data();
        const W* from = line.at(plan_n[0] + first_tap);
        std::reverse_copy(from - pad, from + span, reversed);
    }
    // Frames g + k Q for k0 <= k < k0 + count, slot g's phase in `role`:
    // forward windows from their oldest tap, or reversed ones from their
    // newest (the last frame's first).
    struct Job {
        const W* x;
        const typename T::C* row;
    };
    const auto job = [&](std::size_t g, std::size_t k0, std::size_t count, Role role, std::uint64_t delta) {
        const std::uint64_t phase = plan_phase[g];
        const auto d = static_cast<std::ptrdiff_t>(delta);
        const auto pd = static_cast<std::ptrdiff_t>(pad);
        if (!poly.mirrored() || 2 * phase <= q) {
            const W* x = line.at(start_of(g, k0));
            const auto* row = rows + phase * stride;
            switch (role) {
                case Role::Solo: return Job{x, row + pad};
                case Role::Head: return Job{x + d - pd, row + delta};
                case Role::Partner: return Job{x - pd, row};
            }
        }
        const std::int64_t final_start = start_of(g, k0 + count - 1);
        const W* x = reversed + (last - final_start - static_cast<std::int64_t>(taps) + 1);
        const auto* row = rows + (q - phase) * stride + pad + lead;
        return role == Role::Head ? Job{x - d, row - delta} : Job{x, row};
    };
    const auto emit = [&](std::size_t g, std::size_t k0, std::size_t count, const R* sums, bool backwards) {
        S* to = out + (g + k0 * q) * channels;
        if (backwards) {
            for (std::size_t k = 0; k < count; ++k) to[k * hop] = T::out(sums[count - 1 - k]);
        } else {
            for (std::size_t k = 0; k < count; ++k) to[k * hop] = T::out(sums[k]);
        }
    };
    std::size_t j = static_cast<std::size_t>(plan.frames_out % q);  // frame g's place in the pairing
    for (std::size_t g = 0; g < groups; ++g, j = j + 1 == q ? 0 : j + 1) {
        const std::uint64_t phase = plan_phase[g];
        const bool backwards = poly.mirrored() && 2 * phase > q;
        const Layout& at = layout[j];
        const std::size_t count = count_of(g);
        const std::size_t n = taps - (backwards ? lead : 0) + (at.role == Role::Solo ? 0 : pad);
        if (at.role == Role::Partner) {
            // Paired with the head of the frame before, but for a first
            // frame whose head lies in the block before.
            if (g != 0) continue;
            const Job p = job(0, 0, 1, Role::Partner, at.delta);
            T::dot(kernels, p.x, step, p.row, n, 1, sa);
            emit(0, 0, 1, sa, false);
            continue;
        }
        if (at.role == Role::Solo) {
            const Job p = job(g, 0, count, Role::Solo, 0);
            T::dot(kernels, p.x, step, p.row, n, count, sa);
            emit(g, 0, count, sa, backwards);
            continue;
        }
        // A head: its partners are frames g + 1 + k Q, slot g + 1's
        // frames, or slot 0's from the second on when g is the last slot.
        const bool wraps = g + 1 == q;
        const std::size_t mate = wraps ? 0 : g + 1, mate_k0 = wraps ? 1 : 0;
        const std::size_t mate_count = g + 1 < b ? count_of(mate) - mate_k0 : 0;
        const std::size_t paired = std::min(count, mate_count);
        if (paired > 0) {
            const Job h = job(g, 0, paired, Role::Head, at.delta);
            const Job m = job(mate, mate_k0, paired, Role::Partner, at.delta);
            // Forward, the head's window starts the pair's and the head
            // ignores its last delta taps; reversed, the partner's does and
            // the head ignores its first delta (the partner's newest frames).
            if (!backwards) {
                T::dot2(kernels, h.x, step, h.row, m.row, n, paired, at.delta, 0, sa, sb);
            } else {
                T::dot2(kernels, m.x, step, m.row, h.row, n, paired, 0, at.delta, sb, sa);
            }
            emit(g, 0, paired, sa, backwards);
            emit(mate, mate_k0, paired, sb, backwards);
        }
        // A head whose partner is not in the block reads a copy of its
        // window with zeros for the frames only the partner reads, which
        // need not have arrived.
        for (std::size_t k = paired; k < count; ++k) {
            const auto d = static_cast<std::size_t>(at.delta);
            window.assign(n, W{});
            const typename T::C* row = nullptr;
            if (!backwards) {
                const Job h = job(g, k, 1, Role::Head, at.delta);
                std::copy_n(h.x, n - d, window.data());
                row = h.row;
            } else {
                // The head's reversed window starts d frames before its own
                // newest frame, which is where the partner's layout starts.
                const Job own = job(g, k, 1, Role::Partner, at.delta);
                std::copy_n(own.x, n - d, window.data() + d);
                row = own.row - at.delta;
            }
            T::dot(kernels, window.data(), step, row, n, 1, sa);
            emit(g, k, 1, sa, backwards);
        }
    }
}

}  // namespace tenvira::hq_detail
