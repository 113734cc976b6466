// AVX2 + FMA kernels of the studio-quality presets. Compiled with -mavx2
// -mfma; nothing outside this file may be inlined into it or from it.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "backend/hq_kernels.hpp"

namespace tenvira {

namespace {

// The vector operations the kernels need, for float32 and float64.
struct F32Ops {
    using T = float;
    using V = __m256;
    static constexpr std::ptrdiff_t lanes = 8;
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static V set1(float v) { return _mm256_set1_ps(v); }
    static V zero() { return _mm256_setzero_ps(); }
    static V reverse(V v) { return _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0)); }
    // Keeps v in a register: left alone, the compiler folds a window's load
    // into both multiply-adds of a pair and so loads it twice.
    static V held(V v) {
        asm("" : "+x"(v));
        return v;
    }
    // Lane d of the result: the lanes of r[d] added as ((l0 + l1) + (l2 +
    // l3)) + ((l4 + l5) + (l6 + l7)).
    static constexpr int group = 8;
    static V lane_sums(const V r[group]) {
        const V t0 = _mm256_hadd_ps(r[0], r[1]), t1 = _mm256_hadd_ps(r[2], r[3]);
        const V t2 = _mm256_hadd_ps(r[4], r[5]), t3 = _mm256_hadd_ps(r[6], r[7]);
        const V u0 = _mm256_hadd_ps(t0, t1), u1 = _mm256_hadd_ps(t2, t3);
        // u0 = [s0 s1 s2 s3 | s0' s1' s2' s3'] (low and high 128-bit halves).
        return _mm256_add_ps(_mm256_permute2f128_ps(u0, u1, 0x20), _mm256_permute2f128_ps(u0, u1, 0x31));
    }
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
    static V reverse(V v) { return _mm256_permute4x64_pd(v, 0x1B); }
    static V held(V v) {
        asm("" : "+x"(v));
        return v;
    }
    // Lane d of the result: the lanes of r[d] added as (l0 + l2) + (l1 + l3).
    static constexpr int group = 4;
    static V lane_sums(const V r[group]) {
        const V x = _mm256_add_pd(_mm256_permute2f128_pd(r[0], r[1], 0x20), _mm256_permute2f128_pd(r[0], r[1], 0x31));
        const V y = _mm256_add_pd(_mm256_permute2f128_pd(r[2], r[3], 0x20), _mm256_permute2f128_pd(r[2], r[3], 0x31));
        // hadd: [x0 + x1, y0 + y1, x2 + x3, y2 + y3] = sums of r0, r2, r1, r3.
        return _mm256_permute4x64_pd(_mm256_hadd_pd(x, y), 0xD8);
    }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V fmadd(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    static double fmadd1(double a, double b, double c) {
        return _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(a), _mm_set_sd(b), _mm_set_sd(c)));
    }
};

// Taps t .. t + lanes - 1 of a row: at[t + l] forward, at[-t - l] backward.
template <typename O, bool Backward>
[[gnu::always_inline]] inline typename O::V row_vector(const typename O::T* at, std::size_t t) {
    if constexpr (Backward) {
        return O::reverse(O::load(at - t - (O::lanes - 1)));
    } else {
        return O::load(at + t);
    }
}

// The same for float64 sums with a row of 32-bit integers, each converted
// exactly.
template <typename O, bool Backward>
[[gnu::always_inline]] inline F64Ops::V row_vector(const std::int32_t* at, std::size_t t) {
    static_assert(std::is_same_v<O, F64Ops>);
    if constexpr (Backward) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at - t - 3));
        return _mm256_cvtepi32_pd(_mm_shuffle_epi32(v, 0x1B));
    } else {
        return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + t)));
    }
}

// The sums of D frames: each one's lanes added (O::lane_sums, a group of
// registers at a time), then taps body .. n - 1 of its window fused in order.
template <typename O, int D, bool Backward, typename C>
[[gnu::always_inline]] inline void frame_sums(const typename O::V* acc, const typename O::T* x, std::size_t step,
                                              const C* at, std::size_t body, std::size_t n, typename O::T* out) {
    using V = typename O::V;
    using T = typename O::T;
    constexpr int G = O::group;
    for (int g = 0; g < D; g += G) {
        V r[G];
        for (int i = 0; i < G; ++i) r[i] = g + i < D ? acc[g + i] : O::zero();
        alignas(32) T s[G];
        O::store(s, O::lane_sums(r));
        for (int i = 0; i < G && g + i < D; ++i) {
            const T* w = x + static_cast<std::size_t>(g + i) * step;
            T v = s[i];
            for (std::size_t t = body; t < n; ++t) {
                v = O::fmadd1(w[t], static_cast<T>(Backward ? at[-static_cast<std::ptrdiff_t>(t)] : at[t]), v);
            }
            out[g + i] = v;
        }
    }
}

// D frames (windows x + d step) with one row, D <= 8: one fused chain per
// frame and lane over the whole vectors, the lanes summed at the end, the
// tail fused in order. Every frame gets the same arithmetic whatever D is,
// so that a frame's value does not depend on how many frames share its row
// in a call.
template <typename O, int D, bool Backward, typename C>
void rows1(const typename O::T* x, std::size_t step, const C* at, std::size_t n, typename O::T* out) {
    using V = typename O::V;
    constexpr auto L = static_cast<std::size_t>(O::lanes);
    const std::size_t body = n / L * L;
    V acc[D];
    for (int d = 0; d < D; ++d) acc[d] = O::zero();
    for (std::size_t t = 0; t < body; t += L) {
        const V r = row_vector<O, Backward>(at, t);
        for (int d = 0; d < D; ++d) acc[d] = O::fmadd(O::load(x + d * step + t), r, acc[d]);
    }
    frame_sums<O, D, Backward>(acc, x, step, at, body, n, out);
}

// The same for two rows on the same windows, n_a <= n_b, D <= 6 (two chains
// per window and lane fill 12 registers): each window vector is loaded once
// for both rows. Each frame gets exactly rows1's arithmetic for its row.
template <typename O, int D, bool BackA, bool BackB, typename C>
void rows2(const typename O::T* x, std::size_t step, const C* at_a, std::size_t n_a, const C* at_b, std::size_t n_b,
           typename O::T* out_a, typename O::T* out_b) {
    using V = typename O::V;
    constexpr auto L = static_cast<std::size_t>(O::lanes);
    const std::size_t body_a = n_a / L * L, body_b = n_b / L * L;
    V a[D], b[D];
    for (int d = 0; d < D; ++d) a[d] = b[d] = O::zero();
    std::size_t t = 0;
    for (; t < body_a; t += L) {
        const V ra = row_vector<O, BackA>(at_a, t), rb = row_vector<O, BackB>(at_b, t);
        for (int d = 0; d < D; ++d) {
            const V v = O::held(O::load(x + d * step + t));
            a[d] = O::fmadd(v, ra, a[d]);
            b[d] = O::fmadd(v, rb, b[d]);
        }
    }
    for (; t < body_b; t += L) {
        const V rb = row_vector<O, BackB>(at_b, t);
        for (int d = 0; d < D; ++d) b[d] = O::fmadd(O::load(x + d * step + t), rb, b[d]);
    }
    frame_sums<O, D, BackA>(a, x, step, at_a, body_a, n_a, out_a);
    frame_sums<O, D, BackB>(b, x, step, at_b, body_b, n_b, out_b);
}

// Runs kernel(D) over count frames, `most` at a time, then the rest at once.
template <int Most, typename K>
void in_batches(std::size_t count, const K& kernel) {
    std::size_t k = 0;
    for (; k + Most <= count; k += Most) kernel(std::integral_constant<int, Most>{}, k);
    switch (count - k) {
        case 7: if constexpr (Most > 7) kernel(std::integral_constant<int, 7>{}, k); break;
        case 6: if constexpr (Most > 6) kernel(std::integral_constant<int, 6>{}, k); break;
        case 5: kernel(std::integral_constant<int, 5>{}, k); break;
        case 4: kernel(std::integral_constant<int, 4>{}, k); break;
        case 3: kernel(std::integral_constant<int, 3>{}, k); break;
        case 2: kernel(std::integral_constant<int, 2>{}, k); break;
        case 1: kernel(std::integral_constant<int, 1>{}, k); break;
        default: break;
    }
}

template <typename O, typename C>
void rows(const typename O::T* x, std::size_t step, const HqRow<C>& row, std::size_t count, typename O::T* out) {
    const auto run = [&]<bool Backward>() {
        in_batches<8>(count, [&](auto d, std::size_t k) {
            rows1<O, decltype(d)::value, Backward>(x + k * step, step, row.at, row.n, out + k);
        });
    };
    if (row.backward) {
        run.template operator()<true>();
    } else {
        run.template operator()<false>();
    }
}

template <typename O, typename C>
void rows2(const typename O::T* x, std::size_t step, HqRow<C> a, HqRow<C> b, std::size_t count, typename O::T* out_a,
           typename O::T* out_b) {
    if (a.n > b.n) {
        std::swap(a, b);
        std::swap(out_a, out_b);
    }
    const auto run = [&]<bool BackA, bool BackB>() {
        in_batches<6>(count, [&](auto d, std::size_t k) {
            rows2<O, decltype(d)::value, BackA, BackB>(x + k * step, step, a.at, a.n, b.at, b.n, out_a + k,
                                                       out_b + k);
        });
    };
    if (a.backward) {
        if (b.backward) {
            run.template operator()<true, true>();
        } else {
            run.template operator()<true, false>();
        }
    } else if (b.backward) {
        run.template operator()<false, true>();
    } else {
        run.template operator()<false, false>();
    }
}

// The lane sums of D accumulators, O::group at a time: s[d] for acc[d].
template <typename O, int D>
[[gnu::always_inline]] inline void lane_sums(const typename O::V* acc, typename O::T* s) {
    using V = typename O::V;
    constexpr int G = O::group;
    for (int g = 0; g < D; g += G) {
        V r[G];
        for (int i = 0; i < G; ++i) r[i] = g + i < D ? acc[g + i] : O::zero();
        alignas(32) typename O::T part[G];
        O::store(part, O::lane_sums(r));
        for (int i = 0; i < G && g + i < D; ++i) s[g + i] = part[i];
    }
}

// Split rows (hq_kernels.hpp): D frames (windows x + d step) with row a, and
// with row b too when Two (D <= 6 then). The centre's float64 chains run
// first, then the tails' float32 chains, so that neither set of registers
// has to live through the other's loop. Each frame gets exactly the
// arithmetic of its row alone.
template <int D, bool Two, bool BackA, bool BackB>
void split_rows(const float* x, std::size_t step, const HqSplitRow& a, const HqSplitRow& b, double* out_a,
                double* out_b) {
    using V4 = F64Ops::V;
    using V8 = F32Ops::V;
    constexpr int R = Two ? 2 : 1;
    const HqSplitRow* row[2] = {&a, &b};
    const std::size_t begin = a.begin, end = a.end;
    double centre[R][D];
    {
        V4 acc[R][D];
        for (int r = 0; r < R; ++r) {
            for (int d = 0; d < D; ++d) acc[r][d] = F64Ops::zero();
        }
        for (std::size_t u = 0; u < end - begin; u += 4) {
            const V4 ca = row_vector<F64Ops, BackA>(a.centre, u);
            const V4 cb = Two ? row_vector<F64Ops, BackB>(b.centre, u) : ca;
            for (int d = 0; d < D; ++d) {
                const V4 v = F64Ops::held(_mm256_cvtps_pd(_mm_loadu_ps(x + d * step + begin + u)));
                acc[0][d] = F64Ops::fmadd(v, ca, acc[0][d]);
                if constexpr (Two) acc[1][d] = F64Ops::fmadd(v, cb, acc[1][d]);
            }
        }
        for (int r = 0; r < R; ++r) lane_sums<F64Ops, D>(acc[r], centre[r]);
    }
    float tails[R][D];
    const std::size_t body_a = a.n / 8 * 8, body_b = Two ? b.n / 8 * 8 : body_a;
    {
        V8 acc[R][D];
        for (int r = 0; r < R; ++r) {
            for (int d = 0; d < D; ++d) acc[r][d] = F32Ops::zero();
        }
        // Taps [0, begin) and [end, body_a) with both rows.
        for (std::size_t t = begin == 0 ? end : 0; t < body_a; t = t + 8 == begin ? end : t + 8) {
            const V8 ra = row_vector<F32Ops, BackA>(a.at, t);
            const V8 rb = Two ? row_vector<F32Ops, BackB>(b.at, t) : ra;
            for (int d = 0; d < D; ++d) {
                const V8 v = F32Ops::held(F32Ops::load(x + d * step + t));
                acc[0][d] = F32Ops::fmadd(v, ra, acc[0][d]);
                if constexpr (Two) acc[1][d] = F32Ops::fmadd(v, rb, acc[1][d]);
            }
        }
        if constexpr (Two) {
            for (std::size_t t = body_a; t < body_b; t += 8) {
                const V8 rb = row_vector<F32Ops, BackB>(b.at, t);
                for (int d = 0; d < D; ++d) acc[1][d] = F32Ops::fmadd(F32Ops::load(x + d * step + t), rb, acc[1][d]);
            }
        }
        for (int r = 0; r < R; ++r) lane_sums<F32Ops, D>(acc[r], tails[r]);
    }
    for (int r = 0; r < R; ++r) {
        const HqSplitRow& w = *row[r];
        const std::size_t body = r == 0 ? body_a : body_b;
        double* out = r == 0 ? out_a : out_b;
        for (int d = 0; d < D; ++d) {
            const float* f = x + static_cast<std::size_t>(d) * step;
            double v = centre[r][d] + static_cast<double>(tails[r][d]);
            for (std::size_t t = body; t < w.n; ++t) {
                const float c = w.backward ? w.at[-static_cast<std::ptrdiff_t>(t)] : w.at[t];
                v = v + static_cast<double>(f[t]) * static_cast<double>(c);
            }
            out[d] = v;
        }
    }
}

void split(const float* x, std::size_t step, HqSplitRow a, const HqSplitRow* b, std::size_t count, double* out_a,
           double* out_b) {
    if (b == nullptr) {
        const auto run = [&]<bool Back>() {
            in_batches<8>(count, [&](auto d, std::size_t k) {
                split_rows<decltype(d)::value, false, Back, Back>(x + k * step, step, a, a, out_a + k, nullptr);
            });
        };
        if (a.backward) {
            run.template operator()<true>();
        } else {
            run.template operator()<false>();
        }
        return;
    }
    HqSplitRow second = *b;
    if (a.n > second.n) {
        std::swap(a, second);
        std::swap(out_a, out_b);
    }
    const auto run = [&]<bool BackA, bool BackB>() {
        in_batches<6>(count, [&](auto d, std::size_t k) {
            split_rows<decltype(d)::value, true, BackA, BackB>(x + k * step, step, a, second, out_a + k, out_b + k);
        });
    };
    if (a.backward) {
        if (second.backward) {
            run.template operator()<true, true>();
        } else {
            run.template operator()<true, false>();
        }
    } else if (second.backward) {
        run.template operator()<false, true>();
    } else {
        run.template operator()<false, false>();
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

void hq_rows_f32_avx2(const float* x, std::size_t step, const HqRow<float>& row, std::size_t count, float* out) noexcept {
    rows<F32Ops>(x, step, row, count, out);
}

void hq_rows_f64_avx2(const double* x, std::size_t step, const HqRow<double>& row, std::size_t count,
                      double* out) noexcept {
    rows<F64Ops>(x, step, row, count, out);
}

void hq_rows_i32_avx2(const double* x, std::size_t step, const HqRow<std::int32_t>& row, std::size_t count,
                      double* out) noexcept {
    rows<F64Ops>(x, step, row, count, out);
}

void hq_rows2_i32_avx2(const double* x, std::size_t step, const HqRow<std::int32_t>& a, const HqRow<std::int32_t>& b,
                       std::size_t count, double* out_a, double* out_b) noexcept {
    rows2<F64Ops>(x, step, a, b, count, out_a, out_b);
}

void hq_rows2_f32_avx2(const float* x, std::size_t step, const HqRow<float>& a, const HqRow<float>& b, std::size_t count,
                       float* out_a, float* out_b) noexcept {
    rows2<F32Ops>(x, step, a, b, count, out_a, out_b);
}

void hq_rows2_f64_avx2(const double* x, std::size_t step, const HqRow<double>& a, const HqRow<double>& b, std::size_t count,
                       double* out_a, double* out_b) noexcept {
    rows2<F64Ops>(x, step, a, b, count, out_a, out_b);
}

void hq_rows_split_avx2(const float* x, std::size_t step, const HqSplitRow& row, std::size_t count,
                        double* out) noexcept {
    split(x, step, row, nullptr, count, out, nullptr);
}

void hq_rows2_split_avx2(const float* x, std::size_t step, const HqSplitRow& a, const HqSplitRow& b,
                         std::size_t count, double* out_a, double* out_b) noexcept {
    split(x, step, a, &b, count, out_a, out_b);
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
