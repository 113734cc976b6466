// AVX2 + FMA kernels. Compiled with -mavx2 -mfma; nothing outside this file
// may be inlined into it or from it.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "backend/kernels.hpp"

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

}  // namespace tenvira
