// AVX2 + FMA kernels, compiled with -mavx2 -mfma. Only the kernel entry points of
// kernels.hpp are visible outside; the helpers here and in lanes8.hpp have
// internal linkage, so nothing compiled for this instruction set is shared
// with another unit.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "backend/kernels.hpp"
#include "backend/x86/lanes8.hpp"

namespace tenvira {

float dot_f32_avx2_inner(const float* window, const float* coeffs, std::size_t n) noexcept {
    const std::size_t blocks = n / 8;
    __m256 acc = _mm256_setzero_ps();
    std::size_t j = 0;
    for (; j + 4 <= blocks; j += 4) {
        const float* w = window + 8 * j;
        const float* c = coeffs + 8 * j;
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(w), _mm256_loadu_ps(c), acc);
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(w + 8), _mm256_loadu_ps(c + 8), acc);
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(w + 16), _mm256_loadu_ps(c + 16), acc);
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(w + 24), _mm256_loadu_ps(c + 24), acc);
    }
    for (; j < blocks; ++j) {
        acc = _mm256_fmadd_ps(_mm256_loadu_ps(window + 8 * j), _mm256_loadu_ps(coeffs + 8 * j), acc);
    }

    float lanes[8];
    _mm256_storeu_ps(lanes, acc);
    float s = lanes[0] + lanes[1];
    for (int k = 2; k < 8; ++k) s = s + lanes[k];

    for (std::size_t i = 8 * blocks; i < n; ++i) {
        s = _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(window[i]), _mm_set_ss(coeffs[i]), _mm_set_ss(s)));
    }
    return s;
}

std::int64_t dot_i16_q15_avx2_inner(const std::int16_t* window, const std::int16_t* coeffs, std::size_t n) noexcept {
    const std::size_t blocks = n / 16;
    __m256i acc = _mm256_setzero_si256();
    std::size_t j = 0;
    const auto load = [](const std::int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); };
    for (; j + 4 <= blocks; j += 4) {
        const std::int16_t* w = window + 16 * j;
        const std::int16_t* c = coeffs + 16 * j;
        const __m256i p0 = _mm256_madd_epi16(load(w), load(c));
        const __m256i p1 = _mm256_madd_epi16(load(w + 16), load(c + 16));
        const __m256i p2 = _mm256_madd_epi16(load(w + 32), load(c + 32));
        const __m256i p3 = _mm256_madd_epi16(load(w + 48), load(c + 48));
        acc = _mm256_add_epi32(acc, _mm256_add_epi32(_mm256_add_epi32(p0, p1), _mm256_add_epi32(p2, p3)));
    }
    for (; j < blocks; ++j) {
        acc = _mm256_add_epi32(acc, _mm256_madd_epi16(load(window + 16 * j), load(coeffs + 16 * j)));
    }

    std::int32_t lanes[8];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), acc);
    std::int64_t s = 0;
    for (int k = 0; k < 8; ++k) s += lanes[k];

    for (std::size_t i = 16 * blocks; i < n; ++i) {
        s += static_cast<std::int64_t>(window[i]) * static_cast<std::int64_t>(coeffs[i]);
    }
    return s;
}


namespace {

// Eight products, each with the arithmetic of dot_f32_avx2_inner: a fused
// chain per lane, the lane sum left to right, then the fused tail. With
// `shared`, all eight use the row c[0], loaded once per block.
template <bool shared>
void dot8_f32(const float* const* w, std::size_t wstep, const float* const* c, std::size_t n, float* out,
              std::size_t stride) {
    const std::size_t blocks = n / 8;
    __m256 acc[8];
    for (int d = 0; d < 8; ++d) acc[d] = _mm256_setzero_ps();
    for (std::size_t j = 0; j < blocks; ++j) {
        const std::size_t at = 8 * j;
        if constexpr (shared) {
            const __m256 r = _mm256_loadu_ps(c[0] + at);
            for (int d = 0; d < 8; ++d) acc[d] = _mm256_fmadd_ps(_mm256_loadu_ps(w[d * wstep] + at), r, acc[d]);
        } else {
            for (int d = 0; d < 8; ++d) {
                acc[d] = _mm256_fmadd_ps(_mm256_loadu_ps(w[d] + at), _mm256_loadu_ps(c[d] + at), acc[d]);
            }
        }
    }
    transpose8(acc);
    __m256 s = _mm256_add_ps(acc[0], acc[1]);
    for (int k = 2; k < 8; ++k) s = _mm256_add_ps(s, acc[k]);

    const std::size_t tail = n - 8 * blocks;
    if (tail != 0) {
        const __m256i mask = first_lanes(tail);
        __m256 wt[8], ct[8];
        for (int d = 0; d < 8; ++d) {
            wt[d] = _mm256_maskload_ps(w[d * wstep] + 8 * blocks, mask);
            ct[d] = _mm256_maskload_ps(c[shared ? 0 : d] + 8 * blocks, mask);
        }
        transpose8(wt);
        transpose8(ct);
        for (std::size_t i = 0; i < tail; ++i) s = _mm256_fmadd_ps(wt[i], ct[i], s);
    }
    store8(out, stride, s);
}

__m256i load16(const std::int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// The int16 kernels transpose through memory: inlined, the transposes
// crowd out the registers of the products around them.
[[gnu::noinline]] void transpose8_out_of_line(__m256 r[8]) { transpose8(r); }

// Adds lane k of each of the eight vectors (eight int32 values per product)
// to the 64-bit totals of products 0-3 (low) and 4-7 (high). With
// `pair_sums`, a lane holding -2^31 stands for +2^31: a sum of two exact
// products that wrapped (only (-32768)^2 + (-32768)^2 does).
template <bool pair_sums>
void add_lanes(__m256i v[8], __m256i& low, __m256i& high) {
    __m256 lanes[8];
    for (int d = 0; d < 8; ++d) lanes[d] = _mm256_castsi256_ps(v[d]);
    transpose8_out_of_line(lanes);
    const __m256i wrapped = _mm256_set1_epi64x(-2147483648LL);
    const __m256i two32 = _mm256_set1_epi64x(4294967296LL);
    for (int k = 0; k < 8; ++k) {
        const __m256i x = _mm256_castps_si256(lanes[k]);
        __m256i lo = _mm256_cvtepi32_epi64(_mm256_castsi256_si128(x));
        __m256i hi = _mm256_cvtepi32_epi64(_mm256_extracti128_si256(x, 1));
        if constexpr (pair_sums) {
            lo = _mm256_add_epi64(lo, _mm256_and_si256(_mm256_cmpeq_epi64(lo, wrapped), two32));
            hi = _mm256_add_epi64(hi, _mm256_and_si256(_mm256_cmpeq_epi64(hi, wrapped), two32));
        }
        low = _mm256_add_epi64(low, lo);
        high = _mm256_add_epi64(high, hi);
    }
}

// Eight products, each with the arithmetic of dot_i16_q15_avx2_inner: the
// blocks in wrapping 32-bit lanes, then the tail as exact products (here
// summed in pairs and corrected where a pair sum wrapped).
template <bool shared>
void dot8_i16(const std::int16_t* const* w, std::size_t wstep, const std::int16_t* const* c, std::size_t n,
              std::int64_t* out) {
    const std::size_t blocks = n / 16;
    __m256i acc[8];
    for (int d = 0; d < 8; ++d) acc[d] = _mm256_setzero_si256();
    for (std::size_t j = 0; j < blocks; ++j) {
        const std::size_t at = 16 * j;
        if constexpr (shared) {
            const __m256i r = load16(c[0] + at);
            for (int d = 0; d < 8; ++d) {
                acc[d] = _mm256_add_epi32(acc[d], _mm256_madd_epi16(load16(w[d * wstep] + at), r));
            }
        } else {
            for (int d = 0; d < 8; ++d) {
                acc[d] = _mm256_add_epi32(acc[d], _mm256_madd_epi16(load16(w[d] + at), load16(c[d] + at)));
            }
        }
    }
    __m256i low = _mm256_setzero_si256();
    __m256i high = _mm256_setzero_si256();
    add_lanes<false>(acc, low, high);

    const std::size_t tail = n - 16 * blocks;
    if (tail % 2 == 0 && tail != 0) {
        // An even tail is whole 32-bit pairs: masked loads read just those.
        const __m256i mask = first_lanes(tail / 2);
        const auto pairs = [&](const std::int16_t* p) {
            return _mm256_maskload_epi32(reinterpret_cast<const int*>(p + 16 * blocks), mask);
        };
        const __m256i r = pairs(c[0]);
        for (int d = 0; d < 8; ++d) acc[d] = _mm256_madd_epi16(pairs(w[d * wstep]), shared ? r : pairs(c[d]));
        add_lanes<true>(acc, low, high);
    } else if (tail != 0) {
        std::int16_t wt[16], ct[16];
        for (int k = 0; k < 16; ++k) wt[k] = ct[k] = 0;
        for (int d = 0; d < 8; ++d) {
            const std::int16_t* wd = w[d * wstep] + 16 * blocks;
            const std::int16_t* cd = c[shared ? 0 : d] + 16 * blocks;
            for (std::size_t i = 0; i < tail; ++i) {
                wt[i] = wd[i];
                ct[i] = cd[i];
            }
            acc[d] = _mm256_madd_epi16(load16(wt), load16(ct));
        }
        add_lanes<true>(acc, low, high);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), low);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4), high);
}

}  // namespace

void dot_f32_avx2_batch(const F32Batch& b) noexcept {
    std::size_t d = 0;
    for (; d + 8 <= b.count; d += 8) dot8_f32<false>(b.windows + d, 1, b.rows + d, b.taps, b.out + d * b.stride, b.stride);
    for (; d < b.count; ++d) b.out[d * b.stride] = dot_f32_avx2_inner(b.windows[d], b.rows[d], b.taps);
}

void dot_f32_avx2_shared(const F32SharedBatch& b) noexcept {
    std::size_t d = 0;
    for (; d + 8 <= b.count; d += 8) {
        dot8_f32<true>(b.windows + d * b.step, b.step, &b.row, b.taps, b.out + d * b.stride, b.stride);
    }
    for (; d < b.count; ++d) b.out[d * b.stride] = dot_f32_avx2_inner(b.windows[d * b.step], b.row, b.taps);
}

void dot_i16_q15_avx2_batch(const I16Batch& b) noexcept {
    std::size_t d = 0;
    for (; d + 8 <= b.count; d += 8) dot8_i16<false>(b.windows + d, 1, b.rows + d, b.taps, b.out + d);
    for (; d < b.count; ++d) b.out[d] = dot_i16_q15_avx2_inner(b.windows[d], b.rows[d], b.taps);
}

void dot_i16_q15_avx2_shared(const I16SharedBatch& b) noexcept {
    std::size_t d = 0;
    for (; d + 8 <= b.count; d += 8) dot8_i16<true>(b.windows + d * b.step, b.step, &b.row, b.taps, b.out + d);
    for (; d < b.count; ++d) b.out[d] = dot_i16_q15_avx2_inner(b.windows[d * b.step], b.row, b.taps);
}

void columns_f32_avx2(const F32Columns& cols) noexcept {
    float* out = cols.out;
    const float* centre = cols.centre;
    const float c0 = cols.centre_coeff;
    const float* const* sources = cols.sources;
    const float* coeffs = cols.coeffs;
    const std::size_t taps = cols.taps;
    const std::size_t n = cols.frames;
    std::size_t f = 0;
    // Four vectors of frames stay in registers while every tap is added.
    for (; f + 32 <= n; f += 32) {
        __m256 a[4];
        const __m256 k0 = _mm256_set1_ps(c0);
        for (int v = 0; v < 4; ++v) {
            a[v] = centre != nullptr ? _mm256_mul_ps(_mm256_loadu_ps(centre + f + 8 * v), k0) : _mm256_setzero_ps();
        }
        for (std::size_t j = 0; j < taps; ++j) {
            const __m256 k = _mm256_set1_ps(coeffs[j]);
            const float* x = sources[j] + f;
            for (int v = 0; v < 4; ++v) a[v] = _mm256_add_ps(a[v], _mm256_mul_ps(_mm256_loadu_ps(x + 8 * v), k));
        }
        for (int v = 0; v < 4; ++v) _mm256_storeu_ps(out + f + 8 * v, a[v]);
    }
    for (; f < n; ++f) {
        float acc = centre != nullptr ? centre[f] * c0 : 0.0f;
        for (std::size_t j = 0; j < taps; ++j) {
            const float product = sources[j][f] * coeffs[j];
            acc = acc + product;
        }
        out[f] = acc;
    }
}

void columns_i16_avx2(const I16Columns& cols) noexcept {
    std::int64_t* out = cols.out;
    const std::int16_t* centre = cols.centre;
    const std::int16_t c0 = cols.centre_coeff;
    const std::int16_t* const* sources = cols.sources;
    const std::int16_t* coeffs = cols.coeffs;
    const std::size_t* group_ends = cols.group_ends;
    const std::size_t groups = cols.groups;
    const std::size_t n = cols.frames;
    const auto load8 = [](const std::int16_t* p) {
        return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    };
    std::size_t f = 0;
    for (; f + 16 <= n; f += 16) {
        __m256i total[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                            _mm256_setzero_si256()};
        __m256i part[2];
        const __m256i k0 = _mm256_set1_epi32(c0);
        for (int v = 0; v < 2; ++v) {
            part[v] = centre != nullptr ? _mm256_mullo_epi32(load8(centre + f + 8 * v), k0) : _mm256_setzero_si256();
        }
        std::size_t j = 0;
        // With no taps at all the centre alone forms the one group.
        for (std::size_t g = 0; g < (groups == 0 ? 1 : groups); ++g) {
            for (; groups != 0 && j < group_ends[g]; ++j) {
                const __m256i k = _mm256_set1_epi32(coeffs[j]);
                const std::int16_t* x = sources[j] + f;
                for (int v = 0; v < 2; ++v) part[v] = _mm256_add_epi32(part[v], _mm256_mullo_epi32(load8(x + 8 * v), k));
            }
            // The group's exact 32-bit sums join the 64-bit totals.
            for (int v = 0; v < 2; ++v) {
                total[2 * v] = _mm256_add_epi64(total[2 * v], _mm256_cvtepi32_epi64(_mm256_castsi256_si128(part[v])));
                total[2 * v + 1] =
                    _mm256_add_epi64(total[2 * v + 1], _mm256_cvtepi32_epi64(_mm256_extracti128_si256(part[v], 1)));
                part[v] = _mm256_setzero_si256();
            }
        }
        for (int v = 0; v < 4; ++v) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + f + 4 * v), total[v]);
    }
    const std::size_t taps = groups == 0 ? 0 : group_ends[groups - 1];
    for (; f < n; ++f) {
        std::int64_t acc = centre != nullptr ? static_cast<std::int64_t>(centre[f]) * c0 : 0;
        for (std::size_t j = 0; j < taps; ++j) acc += static_cast<std::int64_t>(sources[j][f]) * coeffs[j];
        out[f] = acc;
    }
}

std::size_t plan_frames_avx2(const PlanRun& run) noexcept {
    // Doubles in [0, 2^52) become integers through the bits of x + 2^52.
    const __m256d magic = _mm256_set1_pd(0x1p52);
    const __m256i magic_bits = _mm256_castpd_si256(magic);
    const __m256d vp = _mm256_set1_pd(run.start);
    const __m256d vd = _mm256_set1_pd(run.step);
    const __m256d vphases = _mm256_set1_pd(run.phases);
    const __m256i vlast = _mm256_set1_epi64x(static_cast<long long>(run.last_phase));
    const __m256i vbound = _mm256_set1_epi64x(run.bound);
    // The low 32 bits of each 64-bit lane, packed into the low half.
    const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    __m256d k = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
    const __m256d four = _mm256_set1_pd(4.0);
    std::size_t at = 0;
    for (; at + 4 <= run.count; at += 4) {
        // start + k·step: the product and the sum are exact, as in the scalar form.
        const __m256d q = _mm256_add_pd(vp, _mm256_mul_pd(k, vd));
        const __m256d whole = _mm256_round_pd(q, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256i wi = _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(whole, magic)), magic_bits);
        const __m256d frac = _mm256_sub_pd(q, whole);
        const __m256d ph = _mm256_round_pd(_mm256_mul_pd(frac, vphases), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        __m256i phase = _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(ph, magic)), magic_bits);
        phase = _mm256_blendv_epi8(phase, vlast, _mm256_cmpgt_epi64(phase, vlast));
        const int due = _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(vbound, wi)));
        if (due != 0xF) {
            // Positions only grow: the frames due are the leading lanes.
            return plan_frames_scalar_from(run, at);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(run.whole + at), wi);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(run.phase + at),
                         _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(phase, low_halves)));
        k = _mm256_add_pd(k, four);
    }
    return plan_frames_scalar_from(run, at);
}

}  // namespace tenvira
