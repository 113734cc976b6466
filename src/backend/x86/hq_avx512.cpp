// AVX-512F kernels of the studio-quality presets. Compiled with -mavx512f
// -mfma; nothing outside this file may be inlined into it or from it.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "backend/hq_kernels.hpp"

namespace tenvira {

namespace {

#include "backend/x86/hq_transpose.inc"

float sum16(__m512 v) {
    float lanes[8];
    _mm256_storeu_ps(lanes, hq_fold16(v));
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

double sum8(__m512d v) {
    double lanes[8];
    _mm512_storeu_pd(lanes, v);
    return ((lanes[0] + lanes[4]) + (lanes[1] + lanes[5])) + ((lanes[2] + lanes[6]) + (lanes[3] + lanes[7]));
}

float dot_f32(const float* w, const float* row, std::size_t n) {
    __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps();
    std::size_t t = 0;
    for (; t + 32 <= n; t += 32) {
        a0 = _mm512_fmadd_ps(_mm512_loadu_ps(w + t), _mm512_loadu_ps(row + t), a0);
        a1 = _mm512_fmadd_ps(_mm512_loadu_ps(w + t + 16), _mm512_loadu_ps(row + t + 16), a1);
    }
    for (; t + 16 <= n; t += 16) a0 = _mm512_fmadd_ps(_mm512_loadu_ps(w + t), _mm512_loadu_ps(row + t), a0);
    float s = sum16(_mm512_add_ps(a0, a1));
    for (; t < n; ++t) s = _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(w[t]), _mm_set_ss(row[t]), _mm_set_ss(s)));
    return s;
}

double dot_f64(const double* w, const double* row, std::size_t n) {
    __m512d a0 = _mm512_setzero_pd(), a1 = _mm512_setzero_pd();
    std::size_t t = 0;
    for (; t + 16 <= n; t += 16) {
        a0 = _mm512_fmadd_pd(_mm512_loadu_pd(w + t), _mm512_loadu_pd(row + t), a0);
        a1 = _mm512_fmadd_pd(_mm512_loadu_pd(w + t + 8), _mm512_loadu_pd(row + t + 8), a1);
    }
    for (; t + 8 <= n; t += 8) a0 = _mm512_fmadd_pd(_mm512_loadu_pd(w + t), _mm512_loadu_pd(row + t), a0);
    double s = sum8(_mm512_add_pd(a0, a1));
    for (; t < n; ++t) s = _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(w[t]), _mm_set_sd(row[t]), _mm_set_sd(s)));
    return s;
}

}  // namespace

void hq_rows_f32_avx512(const float* x, std::size_t step, const float* row, std::size_t n, std::size_t count,
                        float* out) noexcept {
    std::size_t k = 0;
    const std::size_t body = n / 16 * 16;
    for (; k + 8 <= count; k += 8) {
        const float* w = x + k * step;
        __m512 acc[8];
        for (int d = 0; d < 8; ++d) acc[d] = _mm512_setzero_ps();
        for (std::size_t t = 0; t < body; t += 16) {
            const __m512 r = _mm512_loadu_ps(row + t);
            for (int d = 0; d < 8; ++d) acc[d] = _mm512_fmadd_ps(_mm512_loadu_ps(w + d * step + t), r, acc[d]);
        }
        __m256 half[8];
        for (int d = 0; d < 8; ++d) half[d] = hq_fold16(acc[d]);
        float s[8];
        _mm256_storeu_ps(s, hq_lane_sums8(half));
        for (int d = 0; d < 8; ++d) {
            for (std::size_t t = body; t < n; ++t) {
                s[d] = _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(w[d * step + t]), _mm_set_ss(row[t]), _mm_set_ss(s[d])));
            }
            out[k + d] = s[d];
        }
    }
    for (; k < count; ++k) out[k] = dot_f32(x + k * step, row, n);
}

void hq_rows_f64_avx512(const double* x, std::size_t step, const double* row, std::size_t n, std::size_t count,
                        double* out) noexcept {
    std::size_t k = 0;
    const std::size_t body = n / 8 * 8;
    for (; k + 8 <= count; k += 8) {
        const double* w = x + k * step;
        __m512d acc[8];
        for (int d = 0; d < 8; ++d) acc[d] = _mm512_setzero_pd();
        for (std::size_t t = 0; t < body; t += 8) {
            const __m512d r = _mm512_loadu_pd(row + t);
            for (int d = 0; d < 8; ++d) acc[d] = _mm512_fmadd_pd(_mm512_loadu_pd(w + d * step + t), r, acc[d]);
        }
        for (int d = 0; d < 8; ++d) {
            double s = sum8(acc[d]);
            for (std::size_t t = body; t < n; ++t) {
                s = _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(w[d * step + t]), _mm_set_sd(row[t]), _mm_set_sd(s)));
            }
            out[k + d] = s;
        }
    }
    for (; k < count; ++k) out[k] = dot_f64(x + k * step, row, n);
}

}  // namespace tenvira
