// Eight-lane float helpers shared by the x86 kernel units.
//
// Each ISA unit includes this file and compiles its own copy with its own
// flags: everything here has internal linkage (an unnamed namespace), so no
// function compiled for one instruction set can be picked by the linker for
// another unit. The helpers are always inlined: called out of line, their
// register arrays would make a round trip through memory.
#pragma once

#include <immintrin.h>

#include <cstddef>

namespace tenvira {
namespace {

// Stores the eight lanes to out[0], out[stride], ...
[[gnu::always_inline]] inline void store8(float* out, std::size_t stride, __m256 v) {
    if (stride == 1) {
        _mm256_storeu_ps(out, v);
        return;
    }
    float lanes[8];
    _mm256_storeu_ps(lanes, v);
    for (int d = 0; d < 8; ++d) out[d * stride] = lanes[d];
}

// In-register transpose: afterwards r[k] holds lane k of each input row,
// r[k][d] = old r[d][k].
[[gnu::always_inline]] inline void transpose8(__m256 r[8]) {
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

// Mask selecting the first t of eight 32-bit lanes.
[[gnu::always_inline]] inline __m256i first_lanes(std::size_t t) {
    const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(t)), index);
}

}  // namespace
}  // namespace tenvira
