// AVX-512F kernels, compiled with -mavx512f -mfma. Only the kernel entry points of
// kernels.hpp are visible outside; the helpers here and in lanes8.hpp have
// internal linkage, so nothing compiled for this instruction set is shared
// with another unit.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "backend/kernels.hpp"
#include "backend/x86/lanes8.hpp"

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


namespace {

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
        const __m256i mask = first_lanes(t);
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

void dot_f32_avx512_batch(const F32Batch& b) noexcept {
    std::size_t d = 0;
    for (; d + 8 <= b.count; d += 8) dot8_f32<false>(b.windows + d, 1, b.rows + d, b.taps, b.out + d * b.stride, b.stride);
    for (; d < b.count; ++d) b.out[d * b.stride] = dot_f32_avx512_inner(b.windows[d], b.rows[d], b.taps);
}

void dot_f32_avx512_shared(const F32SharedBatch& b) noexcept {
    std::size_t d = 0;
    for (; d + 8 <= b.count; d += 8) {
        dot8_f32<true>(b.windows + d * b.step, b.step, &b.row, b.taps, b.out + d * b.stride, b.stride);
    }
    for (; d < b.count; ++d) b.out[d * b.stride] = dot_f32_avx512_inner(b.windows[d * b.step], b.row, b.taps);
}

}  // namespace tenvira
