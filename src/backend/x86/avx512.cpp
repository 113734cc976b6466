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
