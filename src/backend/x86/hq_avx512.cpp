// AVX-512F kernels of the studio-quality presets. Compiled with -mavx512f
// -mfma; nothing outside this file may be inlined into it or from it.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "backend/hq_kernels.hpp"

namespace tenvira {

namespace {

#include "backend/x86/hq_transpose.inc"

double sum8(__m512d v) {
    double lanes[8];
    _mm512_storeu_pd(lanes, v);
    return ((lanes[0] + lanes[4]) + (lanes[1] + lanes[5])) + ((lanes[2] + lanes[6]) + (lanes[3] + lanes[7]));
}

}  // namespace

namespace {

// D products with one row, D <= 8, as in the AVX2 kernels with 16-lane
// chains; each chain is folded to 8 lanes (k + (k + 8)) before the lane sum.
// The arithmetic of a product does not depend on D.
template <int D>
void rows_f32(const float* x, std::size_t step, const float* row, std::size_t n, float* out) {
    const std::size_t body = n / 16 * 16;
    __m512 acc[8];
    for (int d = 0; d < 8; ++d) acc[d] = _mm512_setzero_ps();
    for (std::size_t t = 0; t < body; t += 16) {
        const __m512 r = _mm512_loadu_ps(row + t);
        for (int d = 0; d < D; ++d) acc[d] = _mm512_fmadd_ps(_mm512_loadu_ps(x + d * step + t), r, acc[d]);
    }
    __m256 half[8];
    for (int d = 0; d < 8; ++d) half[d] = _mm256_setzero_ps();
    for (int d = 0; d < D; ++d) {
        half[d] = hq_fold16(acc[d]);
    }
    float s[8];
    _mm256_storeu_ps(s, hq_lane_sums8(half));
    for (int d = 0; d < D; ++d) {
        for (std::size_t t = body; t < n; ++t) {
            s[d] = _mm_cvtss_f32(_mm_fmadd_ss(_mm_set_ss(x[d * step + t]), _mm_set_ss(row[t]), _mm_set_ss(s[d])));
        }
        out[d] = s[d];
    }
}

template <int D>
void rows_f64(const double* x, std::size_t step, const double* row, std::size_t n, double* out) {
    const std::size_t body = n / 8 * 8;
    __m512d acc[8];
    for (int d = 0; d < 8; ++d) acc[d] = _mm512_setzero_pd();
    for (std::size_t t = 0; t < body; t += 8) {
        const __m512d r = _mm512_loadu_pd(row + t);
        for (int d = 0; d < D; ++d) acc[d] = _mm512_fmadd_pd(_mm512_loadu_pd(x + d * step + t), r, acc[d]);
    }
    for (int d = 0; d < D; ++d) {
        double s = sum8(acc[d]);
        for (std::size_t t = body; t < n; ++t) {
            s = _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(x[d * step + t]), _mm_set_sd(row[t]), _mm_set_sd(s)));
        }
        out[d] = s;
    }
}

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

void hq_rows_f32_avx512(const float* x, std::size_t step, const float* row, std::size_t n, std::size_t count,
                        float* out) noexcept {
    batches<float, RowsF32>(x, step, row, n, count, out);
}

void hq_rows_f64_avx512(const double* x, std::size_t step, const double* row, std::size_t n, std::size_t count,
                        double* out) noexcept {
    batches<double, RowsF64>(x, step, row, n, count, out);
}

}  // namespace tenvira
