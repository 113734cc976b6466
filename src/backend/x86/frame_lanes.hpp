// One frame per lane: the AVX-512F layout for batches whose rows repeat in a
// short cycle and whose windows repeat by translation.
//
// Lane d of a run of 16·M frames computes frames d·M .. d·M + M - 1. The
// lanes' windows are transposed once, so that element e of every lane's span
// sits in one register; each step of a chain is then one fused multiply-add
// by a broadcast coefficient, and the lane sum of sixteen frames is fifteen
// vector additions. Every frame keeps the arithmetic of
// dot_f32_avx512_inner.
//
// Included by the AVX-512F unit only; everything here has internal linkage.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "backend/x86/lanes8.hpp"

namespace tenvira {
namespace {

// Frames f < count: window windows[f·wstep], row rows[f % period], result
// out[f·stride].
struct Cycle {
    const float* const* windows;
    std::size_t wstep;
    const float* const* rows;
    std::size_t period;
    std::size_t taps;
    std::size_t count;
    float* out;
    std::size_t stride;
};

// Lane d of a run computes frames d·M .. d·M + M - 1 (M a multiple of the
// period, at most max_run); the transposed windows of one run hold at most
// max_span elements per lane.
constexpr std::size_t max_run = 32;  // a multiple of 8
constexpr std::size_t max_span = 256;
// Longest cycle of rows laid out this way (run_by_lanes has a case for each).
constexpr std::size_t max_lane_period = 4;

// The address of p as an integer, for distances between windows.
std::intptr_t address(const float* p) { return reinterpret_cast<std::intptr_t>(p); }

// Transposes 8 elements from e on of sixteen lane spans into x[(e + k)·16 + d],
// reading only the first valid[d] - e elements of lane d (the rest as zero).
[[gnu::always_inline]] inline void transpose_span(const float* const lane[16], const std::ptrdiff_t valid[16],
                                                  std::size_t e, float* x) {
    for (std::size_t h = 0; h < 2; ++h) {
        __m256 r[8];
        for (std::size_t d = 0; d < 8; ++d) {
            const std::ptrdiff_t left = valid[8 * h + d] - static_cast<std::ptrdiff_t>(e);
            const float* p = lane[8 * h + d] + e;
            r[d] = left >= 8  ? _mm256_loadu_ps(p)
                   : left > 0 ? _mm256_maskload_ps(p, first_lanes(static_cast<std::size_t>(left)))
                              : _mm256_setzero_ps();
        }
        transpose8(r);
        for (std::size_t k = 0; k < 8; ++k) _mm256_store_ps(x + (e + k) * 16 + 8 * h, r[k]);
    }
}

// The same for lanes d < lanes at a distance d·shift from `base` whose eight
// elements are all valid; the lanes after them read as zero.
[[gnu::always_inline]] inline void transpose_span_even(const float* base, std::ptrdiff_t shift, std::size_t lanes,
                                                       std::size_t e, float* x) {
    for (std::size_t h = 0; h < 2; ++h) {
        const float* p = base + static_cast<std::ptrdiff_t>(8 * h) * shift + static_cast<std::ptrdiff_t>(e);
        __m256 r[8];
#pragma GCC unroll 8
        for (std::size_t d = 0; d < 8; ++d, p += shift) r[d] = 8 * h + d < lanes ? _mm256_loadu_ps(p) : _mm256_setzero_ps();
        transpose8(r);
#pragma GCC unroll 8
        for (std::size_t k = 0; k < 8; ++k) _mm256_store_ps(x + (e + k) * 16 + 8 * h, r[k]);
    }
}

// Registers per block for rows repeating with period P: whole cycles, about
// eight (nine for three rows: the runs are then multiples of nine).
template <std::size_t P>
constexpr std::size_t block_registers = P == 3 ? 9 : 8 / P * P;

// A block of U = block_registers<P> registers of sixteen frames each: register u
// reads the transposed elements xt[u][i·16 ..] with the row rows[u % P] and
// gets the frames' results in s[u]. Chain k of all U registers goes side by
// side, each coefficient broadcast once for the registers of its row; the
// lane sums take the chains in order, each added as soon as it is complete.
template <std::size_t P>
[[gnu::always_inline]] inline void block_by_lanes(const float* const xt[block_registers<P>], const float* const rows[P],
                                                  std::size_t n, __m512 s[block_registers<P>]) {
    constexpr std::size_t U = block_registers<P>;
    const std::size_t blocks = n / 16;
#pragma GCC unroll 9
    for (std::size_t u = 0; u < U; ++u) s[u] = _mm512_setzero_ps();
    for (std::size_t k = 0; k < 16 && blocks > 0; ++k) {
        __m512 chain[U];
#pragma GCC unroll 9
        for (std::size_t u = 0; u < U; ++u) chain[u] = _mm512_setzero_ps();
        for (std::size_t i = k; i < 16 * blocks; i += 16) {
            __m512 c[P];
#pragma GCC unroll 9
            for (std::size_t r = 0; r < P; ++r) c[r] = _mm512_set1_ps(rows[r][i]);
#pragma GCC unroll 9
            for (std::size_t u = 0; u < U; ++u) chain[u] = _mm512_fmadd_ps(_mm512_load_ps(xt[u] + i * 16), c[u % P], chain[u]);
        }
#pragma GCC unroll 9
        for (std::size_t u = 0; u < U; ++u) s[u] = k == 0 ? chain[u] : _mm512_add_ps(s[u], chain[u]);
    }
    for (std::size_t i = 16 * blocks; i < n; ++i) {
        __m512 c[P];
#pragma GCC unroll 9
        for (std::size_t r = 0; r < P; ++r) c[r] = _mm512_set1_ps(rows[r][i]);
#pragma GCC unroll 9
        for (std::size_t u = 0; u < U; ++u) s[u] = _mm512_fmadd_ps(_mm512_load_ps(xt[u] + i * 16), c[u % P], s[u]);
    }
}

// Registers t < per_lane (register t: frames d·M + t, elements from
// x[offset[t]·16]), U at a time, stored to results[t·16 ..].
template <std::size_t P>
void frames_by_lanes(const float* x, const std::ptrdiff_t* offset, std::size_t per_lane, const float* const* rows,
                     std::size_t n, float* results) {
    constexpr std::size_t U = block_registers<P>;
    for (std::size_t t0 = 0; t0 < per_lane; t0 += U) {
        // A last partial block repeats its last register.
        const float* xt[U];
#pragma GCC unroll 9
        for (std::size_t u = 0; u < U; ++u) xt[u] = x + offset[t0 + u < per_lane ? t0 + u : per_lane - 1] * 16;
        __m512 s[U];
        block_by_lanes<P>(xt, rows, n, s);
#pragma GCC unroll 9
        for (std::size_t u = 0; u < U; ++u) {
            if (t0 + u < per_lane) _mm512_store_ps(results + (t0 + u) * 16, s[u]);
        }
    }
}

// Stores v[i] to out[i·stride] for i < count (count <= 8); Stride is the
// stride when it is 1 or 2, else 0 and `stride` gives it.
template <std::size_t Stride>
[[gnu::always_inline]] inline void store_run(float* out, std::size_t stride, __m256 v, std::size_t count) {
    if constexpr (Stride == 1) {
        if (count == 8) {
            _mm256_storeu_ps(out, v);
        } else {
            _mm256_maskstore_ps(out, first_lanes(count), v);
        }
    } else if constexpr (Stride == 2) {
        // Spread to the even lanes and store those alone. (The merge forms:
        // GCC 12 warns about the undefined pass-through of the plain ones.)
        const __m512i spread = _mm512_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
        __m512 wide = _mm512_castpd_ps(
            _mm512_mask_insertf64x4(_mm512_setzero_pd(), 0xFF, _mm512_setzero_pd(), _mm256_castps_pd(v), 0));
        wide = _mm512_mask_permutexvar_ps(wide, 0xFFFF, spread, wide);
        _mm512_mask_storeu_ps(out, static_cast<__mmask16>(0x5555u & ((1u << (2 * count)) - 1u)), wide);
    } else {
        float lanes[8];
        _mm256_storeu_ps(lanes, v);
        for (std::size_t i = 0; i < count; ++i) out[i * stride] = lanes[i];
    }
}

// Stores results[t·16 + d], the result of frame d·M + t, to out[f·stride]
// for each frame f < frames: eight registers at a time are transposed so
// that each lane's frames go out as a run.
template <std::size_t Stride>
void store_lanes(const float* results, std::size_t frames, std::size_t M, float* out, std::size_t stride) {
    const std::size_t lanes = (frames + M - 1) / M;
    for (std::size_t t0 = 0; t0 < M && t0 < frames; t0 += 8) {
        for (std::size_t h = 0; h < 2 && 8 * h < lanes; ++h) {
            __m256 r[8];
#pragma GCC unroll 8
            for (std::size_t u = 0; u < 8; ++u) r[u] = _mm256_load_ps(results + (t0 + u) * 16 + 8 * h);
            transpose8(r);
#pragma GCC unroll 8
            for (std::size_t d = 0; d < 8; ++d) {
                const std::size_t first = (8 * h + d) * M + t0;  // the lane's frame t0
                if (first >= frames) break;
                const std::size_t due = frames - first < M - t0 ? frames - first : M - t0;
                store_run<Stride>(out + first * stride, stride, r[d], due < 8 ? due : 8);
            }
        }
    }
}

// Frames first .. first + frames - 1 (first a multiple of the period, so that
// frame first + f reads row f % period), one frame per lane, provided their
// windows fit the layout: frame d·M + t reads at
// offset[t] + d·shift from the run's first window, consecutive windows leave
// no gap (so that everything between the first window and the last is
// input), and one lane's span fits max_span. Returns false, having written
// nothing, when they do not.
bool run_by_lanes(const Cycle& c, std::size_t first, std::size_t frames, std::size_t M) {
    if (c.period > max_lane_period) return false;
    const std::size_t n = c.taps;
    const float* const* windows = c.windows + first * c.wstep;
    const std::size_t wstep = c.wstep;
    const float* base = windows[0];
    const std::size_t per_lane = frames < M ? frames : M;
    const std::size_t lanes = (frames + M - 1) / M;
    const auto gap_ok = [n](std::intptr_t bytes) {
        return bytes >= 0 && bytes % 4 == 0 && static_cast<std::size_t>(bytes / 4) <= n;
    };

    std::ptrdiff_t offset[max_run];
    offset[0] = 0;
    for (std::size_t t = 1; t < per_lane; ++t) {
        const std::intptr_t at = address(windows[t * wstep]) - address(base);
        if (!gap_ok(at - 4 * offset[t - 1])) return false;
        offset[t] = at / 4;
    }
    std::ptrdiff_t shift = 0;
    if (lanes > 1) {
        const std::intptr_t at = address(windows[M * wstep]) - address(base);
        if (!gap_ok(at - 4 * offset[per_lane - 1])) return false;
        shift = at / 4;
    }
    // Every later frame reads `shift` past the frame M before it (eight
    // pointers at a time where they are consecutive).
    std::size_t f = M;
    if (wstep == 1) {
        const __m512i bytes = _mm512_set1_epi64(4 * shift);
        for (; f + 8 <= frames; f += 8) {
            const __m512i now = _mm512_loadu_si512(windows + f);
            const __m512i before = _mm512_loadu_si512(windows + f - M);
            if (_mm512_cmpneq_epi64_mask(_mm512_sub_epi64(now, before), bytes) != 0) return false;
        }
    }
    for (; f < frames; ++f) {
        if (address(windows[f * wstep]) - address(windows[(f - M) * wstep]) != 4 * shift) return false;
    }
    const std::size_t span = static_cast<std::size_t>(offset[per_lane - 1]) + n;
    if (span > max_span) return false;

    // x[e·16 + d] = element e of lane d's span. Elements past the last window
    // of the run, and lanes without frames, read as zero: they feed only
    // results that are not kept.
    alignas(64) float x[max_span * 16];
    const std::ptrdiff_t end = offset[frames - 1 - (lanes - 1) * M] + static_cast<std::ptrdiff_t>(lanes - 1) * shift +
                               static_cast<std::ptrdiff_t>(n);
    const float* lane[16];
    std::ptrdiff_t valid[16];
    for (std::size_t d = 0; d < 16; ++d) {
        lane[d] = base + static_cast<std::ptrdiff_t>(d < lanes ? d : 0) * shift;
        valid[d] = d < lanes ? end - static_cast<std::ptrdiff_t>(d) * shift : 0;
    }
    const std::ptrdiff_t all_valid = valid[lanes - 1];  // the least of the lanes with frames
    std::size_t e = 0;
    for (; static_cast<std::ptrdiff_t>(e + 8) <= all_valid && e < span; e += 8) transpose_span_even(base, shift, lanes, e, x);
    for (; e < span; e += 8) transpose_span(lane, valid, e, x);

    // Register t holds frames d·M + t of the sixteen lanes, two at a time (a
    // last odd one is computed twice). Eight registers at a time are
    // transposed so that each lane's frames are stored as a run.
    // Rows repeat with the period, which divides M: register t reads row t % P.
    alignas(64) float results[max_run * 16];
    switch (c.period) {
        case 1: frames_by_lanes<1>(x, offset, per_lane, c.rows, n, results); break;
        case 2: frames_by_lanes<2>(x, offset, per_lane, c.rows, n, results); break;
        case 3: frames_by_lanes<3>(x, offset, per_lane, c.rows, n, results); break;
        default: frames_by_lanes<4>(x, offset, per_lane, c.rows, n, results); break;  // longer: refused above
    }

    float* out = c.out + first * c.stride;
    switch (c.stride) {
        case 1: store_lanes<1>(results, frames, M, out, 1); break;
        case 2: store_lanes<2>(results, frames, M, out, 2); break;
        default: store_lanes<0>(results, frames, M, out, c.stride); break;
    }
    return true;
}

}  // namespace
}  // namespace tenvira
