// AVX2 + FMA kernels of the studio-quality presets. Compiled with -mavx2
// -mfma; nothing outside this file may be inlined into it or from it.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

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
    __m256d acc[8];
    for (int d = 0; d < 8; ++d) acc[d] = _mm256_setzero_pd();
    for (std::size_t t = 0; t < body; t += 4) {
        const __m256d r = _mm256_loadu_pd(row + t);
        for (int d = 0; d < D; ++d) acc[d] = _mm256_fmadd_pd(_mm256_loadu_pd(x + d * step + t), r, acc[d]);
    }
    for (int d = 0; d < D; ++d) {
        double lanes[4];
        _mm256_storeu_pd(lanes, acc[d]);
        double s = (lanes[0] + lanes[2]) + (lanes[1] + lanes[3]);
        for (std::size_t t = body; t < n; ++t) {
            s = _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(x[d * step + t]), _mm_set_sd(row[t]), _mm_set_sd(s)));
        }
        out[d] = s;
    }
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

}  // namespace

void hq_rows_f32_avx2(const float* x, std::size_t step, const float* row, std::size_t n, std::size_t count,
                      float* out) noexcept {
    batches<float, RowsF32>(x, step, row, n, count, out);
}

void hq_rows_f64_avx2(const double* x, std::size_t step, const double* row, std::size_t n, std::size_t count,
                      double* out) noexcept {
    batches<double, RowsF64>(x, step, row, n, count, out);
}

void hq_half_band_f32_avx2(const float* even, const float* odd, const float* coeffs, std::size_t taps, float centre,
                           std::size_t n, float* out) noexcept {
    const auto m = static_cast<std::ptrdiff_t>(taps);
    const auto count = static_cast<std::ptrdiff_t>(n);
    std::ptrdiff_t j = 0;
    const __m256 c0 = _mm256_set1_ps(centre);
    // Sixteen outputs per pass share each coefficient's broadcast; every
    // output keeps the arithmetic of the eight-output loop below.
    for (; j + 16 <= count; j += 16) {
        __m256 lo = _mm256_mul_ps(c0, _mm256_loadu_ps(even + j));
        __m256 hi = _mm256_mul_ps(c0, _mm256_loadu_ps(even + j + 8));
        for (std::ptrdiff_t k = 0; k < m; ++k) {
            const __m256 c = _mm256_set1_ps(coeffs[k]);
            const __m256 pair_lo = _mm256_add_ps(_mm256_loadu_ps(odd + j - k - 1), _mm256_loadu_ps(odd + j + k));
            const __m256 pair_hi = _mm256_add_ps(_mm256_loadu_ps(odd + j + 7 - k), _mm256_loadu_ps(odd + j + 8 + k));
            lo = _mm256_fmadd_ps(c, pair_lo, lo);
            hi = _mm256_fmadd_ps(c, pair_hi, hi);
        }
        _mm256_storeu_ps(out + j, lo);
        _mm256_storeu_ps(out + j + 8, hi);
    }
    for (; j + 8 <= count; j += 8) {
        __m256 acc = _mm256_mul_ps(c0, _mm256_loadu_ps(even + j));
        for (std::ptrdiff_t k = 0; k < m; ++k) {
            const __m256 pair = _mm256_add_ps(_mm256_loadu_ps(odd + j - k - 1), _mm256_loadu_ps(odd + j + k));
            acc = _mm256_fmadd_ps(_mm256_set1_ps(coeffs[k]), pair, acc);
        }
        _mm256_storeu_ps(out + j, acc);
    }
    for (; j < count; ++j) {
        float acc = centre * even[j];
        for (std::ptrdiff_t k = 0; k < m; ++k) {
            const float pair = odd[j - k - 1] + odd[j + k];
            acc = _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(coeffs[k]), _mm_set_ss(pair), _mm_set_ss(acc)));
        }
        out[j] = acc;
    }
}

void hq_half_band_f64_avx2(const double* even, const double* odd, const double* coeffs, std::size_t taps,
                           double centre, std::size_t n, double* out) noexcept {
    const auto m = static_cast<std::ptrdiff_t>(taps);
    const auto count = static_cast<std::ptrdiff_t>(n);
    std::ptrdiff_t j = 0;
    const __m256d c0 = _mm256_set1_pd(centre);
    for (; j + 8 <= count; j += 8) {
        __m256d lo = _mm256_mul_pd(c0, _mm256_loadu_pd(even + j));
        __m256d hi = _mm256_mul_pd(c0, _mm256_loadu_pd(even + j + 4));
        for (std::ptrdiff_t k = 0; k < m; ++k) {
            const __m256d c = _mm256_set1_pd(coeffs[k]);
            const __m256d pair_lo = _mm256_add_pd(_mm256_loadu_pd(odd + j - k - 1), _mm256_loadu_pd(odd + j + k));
            const __m256d pair_hi = _mm256_add_pd(_mm256_loadu_pd(odd + j + 3 - k), _mm256_loadu_pd(odd + j + 4 + k));
            lo = _mm256_fmadd_pd(c, pair_lo, lo);
            hi = _mm256_fmadd_pd(c, pair_hi, hi);
        }
        _mm256_storeu_pd(out + j, lo);
        _mm256_storeu_pd(out + j + 4, hi);
    }
    for (; j + 4 <= count; j += 4) {
        __m256d acc = _mm256_mul_pd(c0, _mm256_loadu_pd(even + j));
        for (std::ptrdiff_t k = 0; k < m; ++k) {
            const __m256d pair = _mm256_add_pd(_mm256_loadu_pd(odd + j - k - 1), _mm256_loadu_pd(odd + j + k));
            acc = _mm256_fmadd_pd(_mm256_set1_pd(coeffs[k]), pair, acc);
        }
        _mm256_storeu_pd(out + j, acc);
    }
    for (; j < count; ++j) {
        double acc = centre * even[j];
        for (std::ptrdiff_t k = 0; k < m; ++k) {
            const double pair = odd[j - k - 1] + odd[j + k];
            acc = _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(coeffs[k]), _mm_set_sd(pair), _mm_set_sd(acc)));
        }
        out[j] = acc;
    }
}

}  // namespace tenvira
