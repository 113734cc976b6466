// AVX-512F kernel. Compiled with -mavx512f -mfma; nothing outside this file
// may be inlined into it or from it.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "backend/kernels.hpp"

namespace tenvira {

float dot_f32_avx512_inner(const float* window, const float* coeffs, std::size_t n) noexcept {
    const std::size_t blocks = n / 16;
    __m512 acc = _mm512_setzero_ps();
    std::size_t j = 0;
    for (; j + 4 <= blocks; j += 4) {
        const float* w = window + 16 * j;
        const float* c = coeffs + 16 * j;
        acc = _mm512_fmadd_ps(_mm512_loadu_ps(w), _mm512_loadu_ps(c), acc);
        acc = _mm512_fmadd_ps(_mm512_loadu_ps(w + 16), _mm512_loadu_ps(c + 16), acc);
        acc = _mm512_fmadd_ps(_mm512_loadu_ps(w + 32), _mm512_loadu_ps(c + 32), acc);
        acc = _mm512_fmadd_ps(_mm512_loadu_ps(w + 48), _mm512_loadu_ps(c + 48), acc);
    }
    for (; j < blocks; ++j) {
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

}  // namespace tenvira

namespace tenvira {

namespace {

// Stores the eight lanes to out[0], out[stride], ...
inline void store8(float* out, std::size_t stride, __m256 v) {
    if (stride == 1) {
        _mm256_storeu_ps(out, v);
        return;
    }
    float lanes[8];
    _mm256_storeu_ps(lanes, v);
    for (int d = 0; d < 8; ++d) out[d * stride] = lanes[d];
}

inline void transpose8(__m256 r[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
    const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
    const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
    const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
    const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Eight products, each with the arithmetic of dot_f32_avx512_inner: a fused
// chain per lane, the sixteen lanes summed left to right, then the fused tail.
// The sixteen lanes are kept as two halves of eight (lanes 0-7 and 8-15):
// every lane still chains its own elements 16j + k in block order, so the
// values are those of the 16-lane registers, and the halves transpose
// without extraction. With `shared`, all eight use the row c[0].
template <bool shared>
void dot8_f32(const float* const* w, std::size_t wstep, const float* const* c, std::size_t n, float* out,
              std::size_t stride) {
    const std::size_t blocks = n / 16;
    __m256 low[8], high[8];
    for (int d = 0; d < 8; ++d) low[d] = high[d] = _mm256_setzero_ps();
    for (std::size_t j = 0; j < blocks; ++j) {
        const std::size_t at = 16 * j;
        if constexpr (shared) {
            const __m256 r0 = _mm256_loadu_ps(c[0] + at);
            const __m256 r1 = _mm256_loadu_ps(c[0] + at + 8);
            for (int d = 0; d < 8; ++d) {
                low[d] = _mm256_fmadd_ps(_mm256_loadu_ps(w[d * wstep] + at), r0, low[d]);
                high[d] = _mm256_fmadd_ps(_mm256_loadu_ps(w[d * wstep] + at + 8), r1, high[d]);
            }
        } else {
            for (int d = 0; d < 8; ++d) {
                low[d] = _mm256_fmadd_ps(_mm256_loadu_ps(w[d] + at), _mm256_loadu_ps(c[d] + at), low[d]);
                high[d] = _mm256_fmadd_ps(_mm256_loadu_ps(w[d] + at + 8), _mm256_loadu_ps(c[d] + at + 8), high[d]);
            }
        }
    }
    transpose8(low);
    transpose8(high);
    __m256 s = _mm256_add_ps(low[0], low[1]);
    for (int k = 2; k < 8; ++k) s = _mm256_add_ps(s, low[k]);
    for (int k = 0; k < 8; ++k) s = _mm256_add_ps(s, high[k]);

    for (std::size_t at = 16 * blocks; at < n; at += 8) {
        const std::size_t t = n - at < 8 ? n - at : 8;
        const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(t)),
                                                _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        __m256 wt[8], ct[8];
        for (int d = 0; d < 8; ++d) {
            wt[d] = _mm256_maskload_ps(w[d * wstep] + at, mask);
            ct[d] = _mm256_maskload_ps(c[shared ? 0 : d] + at, mask);
        }
        transpose8(wt);
        transpose8(ct);
        for (std::size_t i = 0; i < t; ++i) s = _mm256_fmadd_ps(wt[i], ct[i], s);
    }
    store8(out, stride, s);
}

}  // namespace

void dot_f32_avx512_batch(const float* const* windows, const float* const* rows, std::size_t n, std::size_t count,
                          float* out, std::size_t stride) noexcept {
    std::size_t d = 0;
    for (; d + 8 <= count; d += 8) dot8_f32<false>(windows + d, 1, rows + d, n, out + d * stride, stride);
    for (; d < count; ++d) out[d * stride] = dot_f32_avx512_inner(windows[d], rows[d], n);
}

void dot_f32_avx512_shared(const float* const* windows, std::size_t step, const float* row, std::size_t n,
                           std::size_t count, float* out, std::size_t stride) noexcept {
    std::size_t d = 0;
    for (; d + 8 <= count; d += 8) dot8_f32<true>(windows + d * step, step, &row, n, out + d * stride, stride);
    for (; d < count; ++d) out[d * stride] = dot_f32_avx512_inner(windows[d * step], row, n);
}

}  // namespace tenvira
