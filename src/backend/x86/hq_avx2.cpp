// AVX2 + FMA kernels of the studio-quality presets. Compiled with -mavx2
// -mfma; nothing outside this file may be inlined into it or from it.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "backend/hq_kernels.hpp"

namespace tenvira {

namespace {

// Sums of eight 8-lane registers: lane d of the result is the sum of the
// lanes of r[d], added as ((l0 + l1) + (l2 + l3)) + ((l4 + l5) + (l6 + l7)).
inline __m256 hq_lane_sums8(__m256 r[8]) {
    const __m256 t0 = _mm256_hadd_ps(r[0], r[1]);
    const __m256 t1 = _mm256_hadd_ps(r[2], r[3]);
    const __m256 t2 = _mm256_hadd_ps(r[4], r[5]);
    const __m256 t3 = _mm256_hadd_ps(r[6], r[7]);
    const __m256 u0 = _mm256_hadd_ps(t0, t1);
    const __m256 u1 = _mm256_hadd_ps(t2, t3);
    // u0 = [s0 s1 s2 s3 | s0' s1' s2' s3'] (low and high 128-bit halves).
    const __m256 lo = _mm256_permute2f128_ps(u0, u1, 0x20);
    const __m256 hi = _mm256_permute2f128_ps(u0, u1, 0x31);
    return _mm256_add_ps(lo, hi);
}

// A frame's sum from its lane register: the lanes added as in
// hq_lane_sums8, ((l0 + l1) + (l2 + l3)) + ((l4 + l5) + (l6 + l7)), then
// the tail (taps body .. n - 1 of window x) fused in order.
[[gnu::always_inline]] inline float frame_sum(__m256 acc, const float* x, const float* row, std::size_t n,
                                              std::size_t body) {
    alignas(32) float l[8];
    _mm256_store_ps(l, acc);
    float s = ((l[0] + l[1]) + (l[2] + l[3])) + ((l[4] + l[5]) + (l[6] + l[7]));
    for (std::size_t t = body; t < n; ++t) {
        s = _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(x[t]), _mm_set_ss(row[t]), _mm_set_ss(s)));
    }
    return s;
}

// The same in double: (l0 + l2) + (l1 + l3), then the tail.
[[gnu::always_inline]] inline double frame_sum(__m256d acc, const double* x, const double* row, std::size_t n,
                                               std::size_t body) {
    alignas(32) double l[4];
    _mm256_store_pd(l, acc);
    double s = (l[0] + l[2]) + (l[1] + l[3]);
    for (std::size_t t = body; t < n; ++t) {
        s = _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(x[t]), _mm_set_sd(row[t]), _mm_set_sd(s)));
    }
    return s;
}

// Keeps a window vector in a register: left alone, the compiler folds its
// load into both multiply-adds of a pair and so loads it twice.
inline __m256 held(__m256 v) {
    asm("" : "+x"(v));
    return v;
}
inline __m256d held(__m256d v) {
    asm("" : "+x"(v));
    return v;
}

// D products with one row, D <= 8: one fused chain per product and lane,
// the lanes summed at the end, the tail fused in order. Every product gets
// the same arithmetic whatever D is, so that a frame's value does not depend
// on how many frames share its row in a call.
template <int D>
void rows_f32(const float* x, std::size_t step, const float* row, std::size_t n, float* out) {
    const std::size_t body = n / 8 * 8;
    __m256 acc[8];
    for (int d = 0; d < 8; ++d) acc[d] = _mm256_setzero_ps();
    for (std::size_t t = 0; t < body; t += 8) {
        const __m256 r = _mm256_loadu_ps(row + t);
        for (int d = 0; d < D; ++d) acc[d] = _mm256_fmadd_ps(_mm256_loadu_ps(x + d * step + t), r, acc[d]);
    }
    float s[8];
    _mm256_storeu_ps(s, hq_lane_sums8(acc));
    for (int d = 0; d < D; ++d) {
        for (std::size_t t = body; t < n; ++t) {
            s[d] = _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(x[d * step + t]), _mm_set_ss(row[t]), _mm_set_ss(s[d])));
        }
        out[d] = s[d];
    }
}

template <int D>
void rows_f64(const double* x, std::size_t step, const double* row, std::size_t n, double* out) {
    const std::size_t body = n / 4 * 4;
    __m256d acc[D];
    for (int d = 0; d < D; ++d) acc[d] = _mm256_setzero_pd();
    if (body != 0) {
        const __m256d r = _mm256_loadu_pd(row);
        for (int d = 0; d < D; ++d) acc[d] = _mm256_fmadd_pd(_mm256_loadu_pd(x + d * step), r, acc[d]);
    }
    for (std::size_t t = 4; t < body; t += 4) {
        const __m256d r = _mm256_loadu_pd(row + t);
        for (int d = 0; d < D; ++d) acc[d] = _mm256_fmadd_pd(_mm256_loadu_pd(x + d * step + t), r, acc[d]);
    }
    for (int d = 0; d < D; ++d) out[d] = frame_sum(acc[d], x + d * step, row, n, body);
}

// Runs `kernel<D>` over count products, eight at a time, then the rest at once.
template <typename V, template <int> class K>
void batches(const V* x, std::size_t step, const V* row, std::size_t n, std::size_t count, V* out) {
    std::size_t k = 0;
    for (; k + 8 <= count; k += 8) K<8>::run(x + k * step, step, row, n, out + k);
    x += k * step;
    out += k;
    switch (count - k) {
        case 7: K<7>::run(x, step, row, n, out); break;
        case 6: K<6>::run(x, step, row, n, out); break;
        case 5: K<5>::run(x, step, row, n, out); break;
        case 4: K<4>::run(x, step, row, n, out); break;
        case 3: K<3>::run(x, step, row, n, out); break;
        case 2: K<2>::run(x, step, row, n, out); break;
        case 1: K<1>::run(x, step, row, n, out); break;
        default: break;
    }
}

template <int D>
struct RowsF32 {
    static void run(const float* x, std::size_t step, const float* row, std::size_t n, float* out) {
        rows_f32<D>(x, step, row, n, out);
    }
};

template <int D>
struct RowsF64 {
    static void run(const double* x, std::size_t step, const double* row, std::size_t n, double* out) {
        rows_f64<D>(x, step, row, n, out);
    }
};

// The vector operations the half-band kernel needs, for float32 and float64.
struct F32Ops {
    using T = float;
    using V = __m256;
    static constexpr std::ptrdiff_t lanes = 8;
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static V set1(float v) { return _mm256_set1_ps(v); }
    static V zero() { return _mm256_setzero_ps(); }
    static V keep(V v, V mask) { return _mm256_and_ps(v, mask); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static float fmadd1(float a, float b, float c) {
        return _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(a), _mm_set_ss(b), _mm_set_ss(c)));
    }
};

struct F64Ops {
    using T = double;
    using V = __m256d;
    static constexpr std::ptrdiff_t lanes = 4;
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static V set1(double v) { return _mm256_set1_pd(v); }
    static V zero() { return _mm256_setzero_pd(); }
    static V keep(V v, V mask) { return _mm256_and_pd(v, mask); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    static double fmadd1(double a, double b, double c) {
        return _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(a), _mm_set_sd(b), _mm_set_sd(c)));
    }
};

// Lanes of a vector at taps t .. t + lanes - 1 that lie in [from, to), as
// a mask (all bits set) of O's vector type.
template <typename O>
typename O::V lanes_within(std::size_t t, std::size_t from, std::size_t to) {
    using T = typename O::T;
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    alignas(32) T m[O::lanes];
    for (std::ptrdiff_t l = 0; l < O::lanes; ++l) {
        const std::size_t at = t + static_cast<std::size_t>(l);
        m[l] = std::bit_cast<T>(at >= from && at < to ? ~Bits{0} : Bits{0});
    }
    return O::load(m);
}

// Two rows on the same windows, D <= 6 (two chains per window and lane
// fill 12 registers): each window vector is loaded once for both. Row a's
// frame ignores the last a_end taps of its window and row b's the first
// b_begin (their coefficients are zero there, and the frames there may not
// have arrived): each result is the row kernel's for its row alone on a
// window with zeros in those taps. n >= lanes.
template <typename O, int D>
void rows2(const typename O::T* x, std::size_t step, const typename O::T* row_a, const typename O::T* row_b,
           std::size_t n, std::size_t a_end, std::size_t b_begin, typename O::T* out_a, typename O::T* out_b) {
    using V = typename O::V;
    constexpr auto L = static_cast<std::size_t>(O::lanes);
    const std::size_t body = n / L * L;
    const std::size_t a_stop = n - a_end;
    // Vectors before `lo` hold taps b ignores, those from `hi` on taps a
    // ignores; the ones between need no mask.
    const std::size_t lo = std::min(body, (b_begin + L - 1) / L * L);
    const std::size_t hi = std::max(lo, std::min(body, a_stop / L * L));
    V a[D], b[D];
    // The first vector is peeled off (the chains start from zero there as
    // everywhere), so that the compiler keeps the chains in registers only.
    {
        const V ra = O::load(row_a), rb = O::load(row_b);
        const V keep_a = lanes_within<O>(0, 0, a_stop), keep_b = lanes_within<O>(0, b_begin, n);
        for (int d = 0; d < D; ++d) {
            const V v = held(O::load(x + d * step));
            a[d] = O::fmadd(O::keep(v, keep_a), ra, O::zero());
            b[d] = O::fmadd(O::keep(v, keep_b), rb, O::zero());
        }
    }
    const auto edge = [&](std::size_t t) {
        const V ra = O::load(row_a + t), rb = O::load(row_b + t);
        const V keep_a = lanes_within<O>(t, 0, a_stop), keep_b = lanes_within<O>(t, b_begin, n);
        for (int d = 0; d < D; ++d) {
            const V v = held(O::load(x + d * step + t));
            a[d] = O::fmadd(O::keep(v, keep_a), ra, a[d]);
            b[d] = O::fmadd(O::keep(v, keep_b), rb, b[d]);
        }
    };
    std::size_t t = L;
    for (; t < lo; t += L) edge(t);
    for (; t < hi; t += L) {
        const V ra = O::load(row_a + t), rb = O::load(row_b + t);
        for (int d = 0; d < D; ++d) {
            const V v = held(O::load(x + d * step + t));
            a[d] = O::fmadd(v, ra, a[d]);
            b[d] = O::fmadd(v, rb, b[d]);
        }
    }
    for (; t < body; t += L) edge(t);
    for (int d = 0; d < D; ++d) {
        out_a[d] = frame_sum(a[d], x + d * step, row_a, std::max(body, a_stop), body);
        out_b[d] = frame_sum(b[d], x + d * step, row_b, n, body);
    }
}

// Runs rows2<O, D> over count products, six at a time, then the rest at once.
template <typename O>
void pairs(const typename O::T* x, std::size_t step, const typename O::T* row_a, const typename O::T* row_b,
           std::size_t n, std::size_t count, std::size_t a_end, std::size_t b_begin, typename O::T* out_a,
           typename O::T* out_b) {
    std::size_t k = 0;
    for (; k + 6 <= count; k += 6) {
        rows2<O, 6>(x + k * step, step, row_a, row_b, n, a_end, b_begin, out_a + k, out_b + k);
    }
    x += k * step;
    out_a += k;
    out_b += k;
    switch (count - k) {
        case 5: rows2<O, 5>(x, step, row_a, row_b, n, a_end, b_begin, out_a, out_b); break;
        case 4: rows2<O, 4>(x, step, row_a, row_b, n, a_end, b_begin, out_a, out_b); break;
        case 3: rows2<O, 3>(x, step, row_a, row_b, n, a_end, b_begin, out_a, out_b); break;
        case 2: rows2<O, 2>(x, step, row_a, row_b, n, a_end, b_begin, out_a, out_b); break;
        case 1: rows2<O, 1>(x, step, row_a, row_b, n, a_end, b_begin, out_a, out_b); break;
        default: break;
    }
}

// One 2:1 half-band decimation: out[j] = centre even[j] + sum_k coeffs[k]
// (odd[j - k - 1] + odd[j + k]), each output one fused chain in k order.
template <typename O>
void half_band(const typename O::T* even, const typename O::T* odd, const typename O::T* coeffs, std::size_t taps,
               typename O::T centre, std::size_t n, typename O::T* out) {
    using T = typename O::T;
    using V = typename O::V;
    constexpr std::ptrdiff_t L = O::lanes;
    const auto m = static_cast<std::ptrdiff_t>(taps);
    const auto count = static_cast<std::ptrdiff_t>(n);
    std::ptrdiff_t j = 0;
    const V c0 = O::set1(centre);
    // Two vectors of outputs per pass share each coefficient's broadcast;
    // every output keeps the arithmetic of the one-vector loop below.
    for (; j + 2 * L <= count; j += 2 * L) {
        V lo = O::mul(c0, O::load(even + j));
        V hi = O::mul(c0, O::load(even + j + L));
        for (std::ptrdiff_t k = 0; k < m; ++k) {
            const V c = O::set1(coeffs[k]);
            lo = O::fmadd(c, O::add(O::load(odd + j - k - 1), O::load(odd + j + k)), lo);
            hi = O::fmadd(c, O::add(O::load(odd + j + L - 1 - k), O::load(odd + j + L + k)), hi);
        }
        O::store(out + j, lo);
        O::store(out + j + L, hi);
    }
    for (; j + L <= count; j += L) {
        V acc = O::mul(c0, O::load(even + j));
        for (std::ptrdiff_t k = 0; k < m; ++k) {
            acc = O::fmadd(O::set1(coeffs[k]), O::add(O::load(odd + j - k - 1), O::load(odd + j + k)), acc);
        }
        O::store(out + j, acc);
    }
    for (; j < count; ++j) {
        T acc = centre * even[j];
        for (std::ptrdiff_t k = 0; k < m; ++k) acc = O::fmadd1(coeffs[k], odd[j - k - 1] + odd[j + k], acc);
        out[j] = acc;
    }
}

}  // namespace

void hq_rows_f32_avx2(const float* x, std::size_t step, const float* row, std::size_t n, std::size_t count,
                      float* out) noexcept {
    batches<float, RowsF32>(x, step, row, n, count, out);
}

void hq_rows_f64_avx2(const double* x, std::size_t step, const double* row, std::size_t n, std::size_t count,
                      double* out) noexcept {
    batches<double, RowsF64>(x, step, row, n, count, out);
}

void hq_rows2_f32_avx2(const float* x, std::size_t step, const float* row_a, const float* row_b, std::size_t n,
                       std::size_t count, std::size_t a_end, std::size_t b_begin, float* out_a, float* out_b) noexcept {
    pairs<F32Ops>(x, step, row_a, row_b, n, count, a_end, b_begin, out_a, out_b);
}

void hq_rows2_f64_avx2(const double* x, std::size_t step, const double* row_a, const double* row_b, std::size_t n,
                       std::size_t count, std::size_t a_end, std::size_t b_begin, double* out_a,
                       double* out_b) noexcept {
    pairs<F64Ops>(x, step, row_a, row_b, n, count, a_end, b_begin, out_a, out_b);
}

void hq_half_band_f32_avx2(const float* even, const float* odd, const float* coeffs, std::size_t taps, float centre,
                           std::size_t n, float* out) noexcept {
    half_band<F32Ops>(even, odd, coeffs, taps, centre, n, out);
}

void hq_half_band_f64_avx2(const double* even, const double* odd, const double* coeffs, std::size_t taps,
                           double centre, std::size_t n, double* out) noexcept {
    half_band<F64Ops>(even, odd, coeffs, taps, centre, n, out);
}

}  // namespace tenvira
