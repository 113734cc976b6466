// AVX2 + FMA kernels of the studio-quality presets. Compiled with -mavx2
// -mfma; nothing outside this file may be inlined into it or from it.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "backend/hq_kernels.hpp"

namespace tenvira {

namespace {

#include "backend/x86/hq_transpose.inc"

float dot_f32(const float* w, const float* row, std::size_t n) {
    __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps();
    std::size_t t = 0;
    for (; t + 16 <= n; t += 16) {
        a0 = _mm256_fmadd_ps(_mm256_loadu_ps(w + t), _mm256_loadu_ps(row + t), a0);
        a1 = _mm256_fmadd_ps(_mm256_loadu_ps(w + t + 8), _mm256_loadu_ps(row + t + 8), a1);
    }
    float lanes[8];
    _mm256_storeu_ps(lanes, _mm256_add_ps(a0, a1));
    float s = ((lanes[0] + lanes[4]) + (lanes[2] + lanes[6])) + ((lanes[1] + lanes[5]) + (lanes[3] + lanes[7]));
    for (; t < n; ++t) s = _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(w[t]), _mm_set_ss(row[t]), _mm_set_ss(s)));
    return s;
}

double dot_f64(const double* w, const double* row, std::size_t n) {
    __m256d a0 = _mm256_setzero_pd(), a1 = _mm256_setzero_pd();
    std::size_t t = 0;
    for (; t + 8 <= n; t += 8) {
        a0 = _mm256_fmadd_pd(_mm256_loadu_pd(w + t), _mm256_loadu_pd(row + t), a0);
        a1 = _mm256_fmadd_pd(_mm256_loadu_pd(w + t + 4), _mm256_loadu_pd(row + t + 4), a1);
    }
    double lanes[4];
    _mm256_storeu_pd(lanes, _mm256_add_pd(a0, a1));
    double s = (lanes[0] + lanes[2]) + (lanes[1] + lanes[3]);
    for (; t < n; ++t) s = _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(w[t]), _mm_set_sd(row[t]), _mm_set_sd(s)));
    return s;
}

}  // namespace

void hq_rows_f32_avx2(const float* x, std::size_t step, const float* row, std::size_t n, std::size_t count,
                      float* out) noexcept {
    std::size_t k = 0;
    const std::size_t body = n / 8 * 8;
    for (; k + 8 <= count; k += 8) {
        const float* w = x + k * step;
        __m256 acc[8];
        for (int d = 0; d < 8; ++d) acc[d] = _mm256_setzero_ps();
        for (std::size_t t = 0; t < body; t += 8) {
            const __m256 r = _mm256_loadu_ps(row + t);
            for (int d = 0; d < 8; ++d) acc[d] = _mm256_fmadd_ps(_mm256_loadu_ps(w + d * step + t), r, acc[d]);
        }
        float s[8];
        _mm256_storeu_ps(s, hq_lane_sums8(acc));
        for (int d = 0; d < 8; ++d) {
            for (std::size_t t = body; t < n; ++t) {
                s[d] = _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(w[d * step + t]), _mm_set_ss(row[t]), _mm_set_ss(s[d])));
            }
            out[k + d] = s[d];
        }
    }
    for (; k < count; ++k) out[k] = dot_f32(x + k * step, row, n);
}

void hq_rows_f64_avx2(const double* x, std::size_t step, const double* row, std::size_t n, std::size_t count,
                      double* out) noexcept {
    std::size_t k = 0;
    const std::size_t body = n / 4 * 4;
    for (; k + 8 <= count; k += 8) {
        const double* w = x + k * step;
        __m256d acc[8];
        for (int d = 0; d < 8; ++d) acc[d] = _mm256_setzero_pd();
        for (std::size_t t = 0; t < body; t += 4) {
            const __m256d r = _mm256_loadu_pd(row + t);
            for (int d = 0; d < 8; ++d) acc[d] = _mm256_fmadd_pd(_mm256_loadu_pd(w + d * step + t), r, acc[d]);
        }
        for (int d = 0; d < 8; ++d) {
            double lanes[4];
            _mm256_storeu_pd(lanes, acc[d]);
            double s = (lanes[0] + lanes[2]) + (lanes[1] + lanes[3]);
            for (std::size_t t = body; t < n; ++t) {
                s = _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(w[d * step + t]), _mm_set_sd(row[t]), _mm_set_sd(s)));
            }
            out[k + d] = s;
        }
    }
    for (; k < count; ++k) out[k] = dot_f64(x + k * step, row, n);
}

void hq_rows_i16_avx2(const std::int16_t* x, std::size_t step, const std::int32_t* row, std::size_t n,
                      std::size_t count, std::int64_t* out) noexcept {
    const std::size_t body = n / 8 * 8;
    for (std::size_t k = 0; k < count; ++k) {
        const std::int16_t* w = x + k * step;
        __m256i even = _mm256_setzero_si256(), odd = _mm256_setzero_si256();
        for (std::size_t t = 0; t < body; t += 8) {
            const __m256i a = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + t)));
            const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + t));
            even = _mm256_add_epi64(even, _mm256_mul_epi32(a, c));
            odd = _mm256_add_epi64(odd, _mm256_mul_epi32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(c, 32)));
        }
        std::int64_t lanes[4];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), _mm256_add_epi64(even, odd));
        std::int64_t s = lanes[0] + lanes[1] + lanes[2] + lanes[3];
        for (std::size_t t = body; t < n; ++t) s += std::int64_t{w[t]} * std::int64_t{row[t]};
        out[k] = s;
    }
}

void hq_half_band_f32_avx2(const float* even, const float* odd, const float* coeffs, std::size_t taps, float centre,
                           std::size_t n, float* out) noexcept {
    const auto m = static_cast<std::ptrdiff_t>(taps);
    const auto count = static_cast<std::ptrdiff_t>(n);
    std::ptrdiff_t j = 0;
    const __m256 c0 = _mm256_set1_ps(centre);
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
            acc = _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(coeffs[k]), _mm_set_ss(odd[j - k - 1] + odd[j + k]), _mm_set_ss(acc)));
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
            acc = _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(coeffs[k]), _mm_set_sd(odd[j - k - 1] + odd[j + k]), _mm_set_sd(acc)));
        }
        out[j] = acc;
    }
}

}  // namespace tenvira
