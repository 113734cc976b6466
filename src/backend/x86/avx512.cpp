// AVX-512F kernels, compiled with -mavx512f -mfma. Only the kernel entry points of
// kernels.hpp are visible outside; the helpers here, in frame_lanes.hpp and
// in lanes8.hpp have internal linkage, so nothing compiled for this
// instruction set is shared with another unit.
//
// Every product has the arithmetic of dot_f32_avx512_inner: sixteen fused
// chains, lane k over the elements 16j + k in block order, the sixteen lanes
// summed left to right, then the remaining elements fused one at a time. The
// batches only choose where those operations happen:
//
// - one product per register (any windows and rows): a 512-bit chain
//   register per product, whose lanes are then transposed so that the lane
//   sums and the tail of eight products run side by side;
// - one frame per lane (rows shared in a short cycle, windows that repeat by
//   translation; frame_lanes.hpp): the windows of sixteen frames are
//   transposed once, so that each lane of a register is one frame's element
//   and each chain step is one fused multiply-add by a broadcast coefficient,
//   with no horizontal work.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "backend/kernels.hpp"
#include "backend/x86/frame_lanes.hpp"
#include "backend/x86/lanes8.hpp"

namespace tenvira {

float dot_f32_avx512_inner(const float* window, const float* coeffs, std::size_t n) noexcept {
    const std::size_t blocks = n / 16;
    __m512 acc = _mm512_setzero_ps();
    for (std::size_t j = 0; j < blocks; ++j) {
        acc = _mm512_fmadd_ps(_mm512_loadu_ps(window + 16 * j), _mm512_loadu_ps(coeffs + 16 * j), acc);
    }

    float lanes[16];
    _mm512_storeu_ps(lanes, acc);
    float s = lanes[0] + lanes[1];
    for (int k = 2; k < 16; ++k) s = s + lanes[k];

    for (std::size_t i = 16 * blocks; i < n; ++i) {
        s = _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(window[i]), _mm_set_ss(coeffs[i]), _mm_set_ss(s)));
    }
    return s;
}

namespace {

// GCC 12 gives several unmasked AVX-512 intrinsics an undefined pass-through
// operand and warns about it; these forms have a defined one and compile to
// the same instructions.
template <int half>
[[gnu::always_inline]] inline __m256 half_of(__m512 v) {
    return _mm256_castpd_ps(_mm512_mask_extractf64x4_pd(_mm256_setzero_pd(), 0xFF, _mm512_castps_pd(v), half));
}
[[gnu::always_inline]] inline __m512d truncate(__m512d x) {
    return _mm512_mask_roundscale_pd(x, 0xFF, x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
}
[[gnu::always_inline]] inline __m512i min_u64(__m512i a, __m512i b) { return _mm512_mask_min_epu64(a, 0xFF, a, b); }
[[gnu::always_inline]] inline __m256i narrow_u64(__m512i a) {
    return _mm512_mask_cvtepi64_epi32(_mm256_setzero_si256(), 0xFF, a);
}

// ---- One product per register ----

// Adds the fused products of the eight columns wt[i]·ct[i], i < t, to s in
// order of i.
[[gnu::always_inline]] inline __m256 fused_columns(__m256 s, const __m256 wt[8], const __m256 ct[8], std::size_t t) {
    if (t == 8) {
#pragma GCC unroll 8
        for (std::size_t i = 0; i < 8; ++i) s = _mm256_fmadd_ps(wt[i], ct[i], s);
        return s;
    }
    for (std::size_t i = 0; i < t; ++i) s = _mm256_fmadd_ps(wt[i], ct[i], s);
    return s;
}

// Eight elements from `at` of each of eight arrays, at most t of them (the
// rest zero), transposed: r[i][d] = p[d][at + i].
[[gnu::always_inline]] inline void load_columns(const float* const p[8], std::size_t at, std::size_t t, __m256 r[8]) {
    if (t == 8) {
#pragma GCC unroll 8
        for (int d = 0; d < 8; ++d) r[d] = _mm256_loadu_ps(p[d] + at);
    } else {
        const __m256i mask = first_lanes(t);
#pragma GCC unroll 8
        for (int d = 0; d < 8; ++d) r[d] = _mm256_maskload_ps(p[d] + at, mask);
    }
    transpose8(r);
}

// Eight products: windows w[d·wstep], rows c[d] (or all c[0] when `shared`),
// results to out[d·stride].
template <bool shared>
void dot8(const float* const* w, std::size_t wstep, const float* const* c, std::size_t n, float* out,
          std::size_t stride) {
    const float* wd[8];
    const float* cd[8];
#pragma GCC unroll 8
    for (int d = 0; d < 8; ++d) {
        wd[d] = w[d * wstep];
        cd[d] = c[shared ? 0 : d];
    }
    const std::size_t blocks = n / 16;
    __m512 acc[8];
#pragma GCC unroll 8
    for (int d = 0; d < 8; ++d) acc[d] = _mm512_setzero_ps();
    for (std::size_t at = 0; at < 16 * blocks; at += 16) {
        const __m512 r = _mm512_loadu_ps(cd[0] + at);
#pragma GCC unroll 8
        for (int d = 0; d < 8; ++d) {
            acc[d] = _mm512_fmadd_ps(_mm512_loadu_ps(wd[d] + at), shared ? r : _mm512_loadu_ps(cd[d] + at), acc[d]);
        }
    }
    // Lanes 0-7 and 8-15 of the eight chains, transposed: low[k] and
    // high[k] hold lane k and lane 8 + k of every product.
    __m256 low[8], high[8];
#pragma GCC unroll 8
    for (int d = 0; d < 8; ++d) {
        low[d] = half_of<0>(acc[d]);
        high[d] = half_of<1>(acc[d]);
    }
    transpose8(low);
    transpose8(high);
    __m256 s = _mm256_add_ps(low[0], low[1]);
#pragma GCC unroll 8
    for (int k = 2; k < 8; ++k) s = _mm256_add_ps(s, low[k]);
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) s = _mm256_add_ps(s, high[k]);

    for (std::size_t at = 16 * blocks; at < n; at += 8) {
        const std::size_t t = n - at < 8 ? n - at : 8;
        __m256 wt[8], ct[8];
        load_columns(wd, at, t, wt);
        if constexpr (shared) {
#pragma GCC unroll 8
            for (std::size_t i = 0; i < 8; ++i) ct[i] = _mm256_set1_ps(i < t ? cd[0][at + i] : 0.0f);
        } else {
            load_columns(cd, at, t, ct);
        }
        s = fused_columns(s, wt, ct, t);
    }
    store8(out, stride, s);
}

// Any number of products, eight at a time; a last group of fewer repeats
// its last product in the unused places and keeps only the results due.
template <bool shared>
void dot_groups(const float* const* w, std::size_t wstep, const float* const* c, std::size_t n, std::size_t count,
                float* out, std::size_t stride) {
    std::size_t d = 0;
    for (; d + 8 <= count; d += 8) dot8<shared>(w + d * wstep, wstep, c + (shared ? 0 : d), n, out + d * stride, stride);
    if (d == count) return;
    const float* wr[8];
    const float* cr[8];
    for (std::size_t e = 0; e < 8; ++e) {
        const std::size_t at = d + (e < count - d ? e : count - d - 1);
        wr[e] = w[at * wstep];
        cr[e] = c[shared ? 0 : at];
    }
    float results[8];
    dot8<shared>(wr, 1, cr, n, results, 1);
    for (std::size_t e = 0; d + e < count; ++e) out[(d + e) * stride] = results[e];
}

// ---- Row cycles ----

// The frames of one row of a cycle, one product per register.
void cycle_row_by_products(const Cycle& c, std::size_t first, std::size_t frames, std::size_t r) {
    if (r >= frames) return;
    const std::size_t f = first + r;
    dot_groups<true>(c.windows + f * c.wstep, c.wstep * c.period, c.rows + f % c.period, c.taps,
                     (frames - r + c.period - 1) / c.period, c.out + f * c.stride, c.stride * c.period);
}

void cycle(const Cycle& c) {
    std::size_t first = 0;
    while (first < c.count) {
        const std::size_t rest = c.count - first;
        // The fewest frames per lane for sixteen lanes, rounded up to whole cycles.
        std::size_t M = ((rest + 15) / 16 + c.period - 1) / c.period * c.period;
        if (M > max_run) M = max_run / c.period * c.period;
        const std::size_t frames = rest < 16 * M ? rest : 16 * M;
        if (M == 0 || !run_by_lanes(c, first, frames, M)) {
            for (std::size_t r = 0; r < c.period; ++r) cycle_row_by_products(c, first, frames, r);
        }
        first += frames;
    }
}

}  // namespace

std::size_t plan_frames_avx512(const PlanRun& run) noexcept {
    // Doubles in [0, 2^52) become integers through the bits of x + 2^52.
    const __m512d magic = _mm512_set1_pd(0x1p52);
    const __m512i magic_bits = _mm512_castpd_si512(magic);
    const __m512d start = _mm512_set1_pd(run.start);
    const __m512d step = _mm512_set1_pd(run.step);
    const __m512d phases = _mm512_set1_pd(run.phases);
    const __m512i last = _mm512_set1_epi64(static_cast<long long>(run.last_phase));
    const __m512i bound = _mm512_set1_epi64(run.bound);
    const __m512d eight = _mm512_set1_pd(8.0);
    __m512d k = _mm512_setr_pd(0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0);
    std::int64_t* whole_out = run.whole;
    std::uint32_t* phase_out = run.phase;
    const std::size_t count = run.count;
    std::size_t at = 0;
    for (; at + 8 <= count; at += 8) {
        // start + k·step: the product and the sum are exact, as in the scalar form.
        const __m512d q = _mm512_add_pd(start, _mm512_mul_pd(k, step));
        const __m512d whole = truncate(q);
        const __m512i wi = _mm512_sub_epi64(_mm512_castpd_si512(_mm512_add_pd(whole, magic)), magic_bits);
        // Positions only grow: the frames due are the leading lanes.
        if (_mm512_cmplt_epi64_mask(wi, bound) != 0xFF) return plan_frames_scalar_from(run, at);
        const __m512d frac = _mm512_sub_pd(q, whole);
        const __m512d ph = truncate(_mm512_mul_pd(frac, phases));
        const __m512i phase = min_u64(_mm512_sub_epi64(_mm512_castpd_si512(_mm512_add_pd(ph, magic)), magic_bits), last);
        _mm512_storeu_si512(whole_out + at, wi);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(phase_out + at), narrow_u64(phase));
        k = _mm512_add_pd(k, eight);
    }
    return plan_frames_scalar_from(run, at);
}

void dot_f32_avx512_batch(const F32Batch& b) noexcept {
    dot_groups<false>(b.windows, 1, b.rows, b.taps, b.count, b.out, b.stride);
}

void dot_f32_avx512_shared(const F32SharedBatch& b) noexcept {
    cycle(Cycle{b.windows, b.step, &b.row, 1, b.taps, b.count, b.out, b.stride});
}

void dot_f32_avx512_cycle(const F32CycleBatch& b) noexcept {
    cycle(Cycle{b.windows, 1, b.rows, b.period, b.taps, b.count, b.out, b.stride});
}

}  // namespace tenvira
