// Kernels against independent models of their arithmetic: sequential float32
// multiply-then-add for the scalar kernel; per-lane fused chains, a
// left-to-right lane sum and a fused tail for the vector kernels; wrapping
// 32-bit pair lanes for the int16 AVX2 kernel.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "backend/cpu_features.hpp"
#include "backend/fir_backend.hpp"
#include "backend/kernels.hpp"

namespace tenvira {
namespace {

const std::size_t lengths[] = {0, 1, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 48, 63, 64, 65, 96, 129};

float model_vector_f32(const std::vector<float>& w, const std::vector<float>& c, std::size_t lanes) {
    const std::size_t n = w.size();
    const std::size_t blocks = n / lanes;
    std::vector<float> acc(lanes, 0.0f);
    for (std::size_t j = 0; j < blocks; ++j) {
        for (std::size_t k = 0; k < lanes; ++k) acc[k] = std::fmaf(w[j * lanes + k], c[j * lanes + k], acc[k]);
    }
    float s = acc[0] + acc[1];
    for (std::size_t k = 2; k < lanes; ++k) s = s + acc[k];
    for (std::size_t i = blocks * lanes; i < n; ++i) s = std::fmaf(w[i], c[i], s);
    return s;
}

std::int64_t model_avx2_i16(const std::vector<std::int16_t>& w, const std::vector<std::int16_t>& c) {
    const std::size_t n = w.size();
    const std::size_t blocks = n / 16;
    std::uint32_t lanes[8] = {};
    for (std::size_t j = 0; j < blocks; ++j) {
        for (std::size_t k = 0; k < 8; ++k) {
            const std::size_t i = 16 * j + 2 * k;
            const std::int64_t pair = std::int64_t{w[i]} * c[i] + std::int64_t{w[i + 1]} * c[i + 1];
            lanes[k] += static_cast<std::uint32_t>(pair);  // 32-bit wrap-around
        }
    }
    std::int64_t s = 0;
    for (std::uint32_t lane : lanes) s += static_cast<std::int32_t>(lane);
    for (std::size_t i = 16 * blocks; i < n; ++i) s += std::int64_t{w[i]} * c[i];
    return s;
}

std::int64_t exact_i16(const std::vector<std::int16_t>& w, const std::vector<std::int16_t>& c) {
    std::int64_t s = 0;
    for (std::size_t i = 0; i < w.size(); ++i) s += std::int64_t{w[i]} * c[i];
    return s;
}

std::vector<float> random_floats(std::mt19937& rng, std::size_t n) {
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = d(rng);
    return v;
}

std::vector<std::int16_t> random_i16(std::mt19937& rng, std::size_t n, int lo = -32768, int hi = 32767) {
    std::uniform_int_distribution<int> d(lo, hi);
    std::vector<std::int16_t> v(n);
    for (auto& x : v) x = static_cast<std::int16_t>(d(rng));
    return v;
}

bool have_avx2_fma() { return has_feature(CpuFeature::Avx2) && has_feature(CpuFeature::Fma); }

TEST(Kernels, ScalarFloatIsSequentialWithoutFusion) {
    // x*x is 1 + 2^-11 + 2^-24 exactly; rounded separately it cancels the
    // first term to 0, fused it leaves 2^-24.
    const float x = 1.0f + std::ldexp(1.0f, -12);
    const std::vector<float> w = {-(1.0f + std::ldexp(1.0f, -11)), x};
    const std::vector<float> c = {1.0f, x};
    EXPECT_EQ(dot_f32_scalar(w.data(), c.data(), 2), 0.0f);
    // Order matters: (1e8 + 1) rounds back to 1e8 before -1e8 cancels it.
    const std::vector<float> w2 = {1e8f, 1.0f, -1e8f};
    const std::vector<float> ones = {1.0f, 1.0f, 1.0f};
    EXPECT_EQ(dot_f32_scalar(w2.data(), ones.data(), 3), 0.0f);
    EXPECT_TRUE(std::signbit(dot_f32_scalar(nullptr, nullptr, 0)) == false);
    EXPECT_EQ(dot_f32_scalar(nullptr, nullptr, 0), 0.0f);
}

TEST(Kernels, Avx2FloatTailIsFused) {
    if (!have_avx2_fma()) GTEST_SKIP() << "no AVX2+FMA";
    const float x = 1.0f + std::ldexp(1.0f, -12);
    const std::vector<float> w = {-(1.0f + std::ldexp(1.0f, -11)), x};
    const std::vector<float> c = {1.0f, x};
    EXPECT_EQ(dot_f32_avx2_inner(w.data(), c.data(), 2), std::ldexp(1.0f, -24));
}

TEST(Kernels, FloatKernelsMatchTheirModels) {
    std::mt19937 rng(1234);
    for (std::size_t n : lengths) {
        for (int trial = 0; trial < 20; ++trial) {
            const auto w = random_floats(rng, n);
            const auto c = random_floats(rng, n);
            float sequential = 0.0f;
            for (std::size_t i = 0; i < n; ++i) {
                const float p = w[i] * c[i];
                sequential = sequential + p;
            }
            EXPECT_EQ(std::bit_cast<std::uint32_t>(dot_f32_scalar(w.data(), c.data(), n)),
                      std::bit_cast<std::uint32_t>(sequential))
                << "n=" << n;
            if (have_avx2_fma()) {
                EXPECT_EQ(std::bit_cast<std::uint32_t>(dot_f32_avx2_inner(w.data(), c.data(), n)),
                          std::bit_cast<std::uint32_t>(model_vector_f32(w, c, 8)))
                    << "avx2 n=" << n;
            }
            if (has_feature(CpuFeature::Avx512f)) {
                EXPECT_EQ(std::bit_cast<std::uint32_t>(dot_f32_avx512_inner(w.data(), c.data(), n)),
                          std::bit_cast<std::uint32_t>(model_vector_f32(w, c, 16)))
                    << "avx512 n=" << n;
            }
        }
    }
}

TEST(Kernels, Int16KernelsMatchModels) {
    std::mt19937 rng(99);
    for (std::size_t n : lengths) {
        for (int trial = 0; trial < 20; ++trial) {
            const auto w = random_i16(rng, n);
            const auto c = random_i16(rng, n);
            EXPECT_EQ(dot_i16_q15_scalar(w.data(), c.data(), n), exact_i16(w, c)) << "n=" << n;
            if (have_avx2_fma()) {
                EXPECT_EQ(dot_i16_q15_avx2_inner(w.data(), c.data(), n), model_avx2_i16(w, c)) << "n=" << n;
            }
        }
    }
}

TEST(Kernels, Avx2Int16IsExactForQ15RowsAndWrapsOnlyAtTheExtreme) {
    if (!have_avx2_fma()) GTEST_SKIP() << "no AVX2+FMA";
    std::mt19937 rng(7);
    // Coefficients whose per-lane magnitudes stay below 2.0 in Q15: exact.
    for (std::size_t n : lengths) {
        const auto w = random_i16(rng, n);
        const auto c = random_i16(rng, n, -4000, 4000);
        EXPECT_EQ(dot_i16_q15_avx2_inner(w.data(), c.data(), n), exact_i16(w, c)) << "n=" << n;
    }
    // All four operands of a pair at -32768: the pair sum 2^31 wraps.
    const std::vector<std::int16_t> minimum(16, -32768);
    EXPECT_EQ(dot_i16_q15_avx2_inner(minimum.data(), minimum.data(), 16), 8 * std::int64_t{-2147483648});
    EXPECT_EQ(dot_i16_q15_scalar(minimum.data(), minimum.data(), 16), 16 * (std::int64_t{1} << 30));
    // In the tail the products are exact 64-bit values.
    EXPECT_EQ(dot_i16_q15_avx2_inner(minimum.data(), minimum.data(), 15), 15 * (std::int64_t{1} << 30));
}

// Batches must give each product exactly as its single kernel does, for any
// length, any count (whole groups and a remainder) and unaligned windows.
TEST(Kernels, BatchesEqualTheirSingleKernels) {
    std::mt19937 rng(11);
    const auto f_data = random_floats(rng, 4096);
    const auto c_data = random_floats(rng, 4096);
    const auto wi_data = random_i16(rng, 4096);
    const auto ci_data = random_i16(rng, 4096, -3000, 3000);
    std::uniform_int_distribution<std::size_t> offset(0, 2048);
    for (FirBackend b : {FirBackend::Scalar, FirBackend::Avx2Fma, FirBackend::Avx512f}) {
        if (b == FirBackend::Avx2Fma && !have_avx2_fma()) continue;
        if (b == FirBackend::Avx512f && !has_feature(CpuFeature::Avx512f)) continue;
        const Kernels k = resolve_kernels(b);
        for (std::size_t n : lengths) {
            for (std::size_t count : {0, 1, 7, 8, 9, 16, 21}) {
                std::vector<const float*> w(count), c(count);
                std::vector<const std::int16_t*> wi(count), ci(count);
                for (std::size_t d = 0; d < count; ++d) {
                    w[d] = f_data.data() + offset(rng);
                    c[d] = c_data.data() + offset(rng);
                    wi[d] = wi_data.data() + offset(rng);
                    ci[d] = ci_data.data() + offset(rng);
                }
                // Every other slot: the results land at a stride.
                std::vector<float> strided(2 * count + 1, -1.0f);
                std::vector<std::int64_t> got_i(count + 1, -1);
                k.f32.batch(F32Batch{w.data(), c.data(), n, count, strided.data(), 2});
                std::vector<float> got(count + 1, -1.0f);
                k.f32.batch(F32Batch{w.data(), c.data(), n, count, got.data(), 1});
                k.i16.batch(I16Batch{wi.data(), ci.data(), n, count, got_i.data()});
                for (std::size_t d = 0; d < count; ++d) {
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(got[d]), std::bit_cast<std::uint32_t>(k.f32.dot(w[d], c[d], n)))
                        << k.name << " n=" << n << " count=" << count << " d=" << d;
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(strided[2 * d]), std::bit_cast<std::uint32_t>(got[d]));
                    ASSERT_EQ(strided[2 * d + 1], -1.0f) << "stride not kept";
                    ASSERT_EQ(got_i[d], k.i16.dot(wi[d], ci[d], n)) << k.name << " n=" << n << " d=" << d;
                }
                EXPECT_EQ(got[count], -1.0f) << "wrote past the batch";
                EXPECT_EQ(got_i[count], -1) << "wrote past the batch";

                // One row for all: the shared-row forms.
                std::vector<float> shared(count + 1, -1.0f);
                std::vector<std::int64_t> shared_i(count + 1, -1);
                k.f32.shared(F32SharedBatch{w.data(), 1, c_data.data() + 5, n, count, shared.data(), 1});
                k.i16.shared(I16SharedBatch{wi.data(), 1, ci_data.data() + 3, n, count, shared_i.data()});
                for (std::size_t d = 0; d < count; ++d) {
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(shared[d]),
                              std::bit_cast<std::uint32_t>(k.f32.dot(w[d], c_data.data() + 5, n)))
                        << k.name << " n=" << n << " d=" << d;
                    ASSERT_EQ(shared_i[d], k.i16.dot(wi[d], ci_data.data() + 3, n)) << k.name << " n=" << n;
                }
                EXPECT_EQ(shared[count], -1.0f);
                EXPECT_EQ(shared_i[count], -1);
            }
        }
    }
}

// The layouts a resampler hands over: frame f reads at floor(f·advance /
// period) and row f % period, so windows repeat by translation (which vector
// kernels may exploit) unless `nudge` moves one of them. Every product must
// still be its single kernel's, signed zeros included, for any output stride,
// in runs longer than one layout holds, with windows far apart and with the
// last window ending at the end of the input.
TEST(Kernels, RowCyclesEqualTheirSingleKernels) {
    std::mt19937 rng(17);
    for (FirBackend b : {FirBackend::Scalar, FirBackend::Avx2Fma, FirBackend::Avx512f}) {
        if (b == FirBackend::Avx2Fma && !have_avx2_fma()) continue;
        if (b == FirBackend::Avx512f && !has_feature(CpuFeature::Avx512f)) continue;
        const Kernels k = resolve_kernels(b);
        for (std::size_t taps : {1, 8, 17, 24, 48, 96, 129}) {
            auto coeffs = random_floats(rng, 5 * taps + 1);
            for (std::size_t i = 0; i < coeffs.size(); i += 7) coeffs[i] = -0.0f;
            for (std::size_t period : {1, 2, 3, 5}) {
                for (std::size_t advance : {1, 2, 3, 7, 200}) {
                    for (std::size_t count : {1, 6, 16, 85, 256, 700}) {
                        const std::size_t nudge = count > 300 ? 301 : count;  // out of range: none
                        const std::size_t frames_span = (count - 1) * advance / period + taps + 1;
                        auto input = random_floats(rng, frames_span);
                        for (std::size_t i = 0; i < input.size(); i += 5) input[i] = i % 2 ? 0.0f : -0.0f;
                        std::vector<const float*> windows(count), rows(period);
                        for (std::size_t f = 0; f < count; ++f) {
                            windows[f] = input.data() + f * advance / period + (f == nudge ? 1 : 0);
                        }
                        for (std::size_t r = 0; r < period; ++r) rows[r] = coeffs.data() + r * taps + (r % 2);
                        for (std::size_t stride : {1, 2, 3}) {
                            std::vector<float> got(count * stride + 1, 7.0f);
                            k.f32.cycle(F32CycleBatch{windows.data(), rows.data(), period, taps, count, got.data(), stride});
                            for (std::size_t f = 0; f < count; ++f) {
                                ASSERT_EQ(std::bit_cast<std::uint32_t>(got[f * stride]),
                                          std::bit_cast<std::uint32_t>(k.f32.dot(windows[f], rows[f % period], taps)))
                                    << k.name << " taps=" << taps << " period=" << period << " advance=" << advance
                                    << " count=" << count << " stride=" << stride << " f=" << f;
                                for (std::size_t g = 1; g < stride; ++g) ASSERT_EQ(got[f * stride + g], 7.0f);
                            }
                            EXPECT_EQ(got[count * stride], 7.0f) << "wrote past the batch";
                        }
                        if (period == 1) {
                            std::vector<float> shared(count);
                            k.f32.shared(F32SharedBatch{windows.data(), 1, rows[0], taps, count, shared.data(), 1});
                            for (std::size_t f = 0; f < count; ++f) {
                                ASSERT_EQ(std::bit_cast<std::uint32_t>(shared[f]),
                                          std::bit_cast<std::uint32_t>(k.f32.dot(windows[f], rows[0], taps)))
                                    << k.name << " taps=" << taps << " count=" << count << " f=" << f;
                            }
                        }
                    }
                }
            }
        }
    }
}

// Every backend's planning against the scalar plan: runs of read positions
// for the steps of common ratios, from the first positions to large ones,
// with the due bound cutting a run anywhere in a vector or not at all.
TEST(Kernels, PlanningEqualsTheScalarPlan) {
    for (FirBackend b : {FirBackend::Avx2Fma, FirBackend::Avx512f}) {
        if (b == FirBackend::Avx2Fma && !have_avx2_fma()) continue;
        if (b == FirBackend::Avx512f && !has_feature(CpuFeature::Avx512f)) continue;
        const Kernels k = resolve_kernels(b);
        for (double step : {3.0, 44100.0 / 48000.0, 2.0 / 3.0, 1.0, 1.0 / 160.0}) {
            for (double start : {0.0, 1.0 / 3.0, 12345.678, 0x1p40 + 0.5}) {
                for (std::size_t count : {1, 4, 7, 8, 9, 17, 256}) {
                    for (std::size_t cut : {0, 1, 5, 8, 12, 300}) {
                        PlanRun run{};
                        run.start = start;
                        run.step = step;
                        run.count = count;
                        run.bound = static_cast<std::int64_t>(start + static_cast<double>(cut) * step);
                        run.phases = count % 2 ? 256.0 : 1024.0;
                        run.last_phase = static_cast<std::uint32_t>(run.phases) - 1;
                        std::vector<std::int64_t> whole(count, -1), want_whole(count, -1);
                        std::vector<std::uint32_t> phase(count, 7), want_phase(count, 7);
                        run.whole = want_whole.data();
                        run.phase = want_phase.data();
                        const std::size_t want = plan_frames_scalar(run);
                        run.whole = whole.data();
                        run.phase = phase.data();
                        ASSERT_EQ(k.plan(run), want) << k.name << " step=" << step << " start=" << start << " count=" << count;
                        EXPECT_EQ(whole, want_whole) << k.name << " step=" << step << " start=" << start;
                        EXPECT_EQ(phase, want_phase) << k.name << " step=" << step << " start=" << start;
                    }
                }
            }
        }
    }
}

// At full scale the int16 tail holds pairs of products of 2^30 whose 32-bit
// sum wraps; the batches must still give the exact tail.
TEST(Kernels, Int16BatchesAtFullScale) {
    const std::vector<std::int16_t> low(130, -32768);
    std::vector<std::int16_t> mixed(130);
    for (std::size_t i = 0; i < mixed.size(); ++i) mixed[i] = i % 3 == 0 ? 32767 : -32768;
    for (FirBackend b : {FirBackend::Scalar, FirBackend::Avx2Fma, FirBackend::Avx512f}) {
        if (b == FirBackend::Avx2Fma && !have_avx2_fma()) continue;
        if (b == FirBackend::Avx512f && !has_feature(CpuFeature::Avx512f)) continue;
        const Kernels k = resolve_kernels(b);
        for (std::size_t n : {8, 15, 24, 31, 40, 129}) {
            for (const std::vector<std::int16_t>* data : {&low, static_cast<const std::vector<std::int16_t>*>(&mixed)}) {
                std::vector<const std::int16_t*> w(9, data->data()), c(9, low.data());
                std::vector<std::int64_t> got(9), shared(9);
                k.i16.batch(I16Batch{w.data(), c.data(), n, 9, got.data()});
                k.i16.shared(I16SharedBatch{w.data(), 1, low.data(), n, 9, shared.data()});
                for (std::size_t d = 0; d < 9; ++d) {
                    ASSERT_EQ(got[d], k.i16.dot(data->data(), low.data(), n)) << k.name << " n=" << n;
                    ASSERT_EQ(shared[d], got[d]) << k.name << " n=" << n;
                }
            }
        }
    }
}

// The fixed-ratio column sums of every backend against a plain model: float32
// products then additions in tap order, exact 64-bit integer sums, also for
// full-scale input whose signs follow the coefficients (the largest sums).
TEST(Kernels, ColumnsMatchTheirModel) {
    std::mt19937 rng(21);
    for (FirBackend b : {FirBackend::Scalar, FirBackend::Avx2Fma, FirBackend::Avx512f}) {
        if (b == FirBackend::Avx2Fma && !have_avx2_fma()) continue;
        if (b == FirBackend::Avx512f && !has_feature(CpuFeature::Avx512f)) continue;
        const Kernels k = resolve_kernels(b);
        for (std::size_t taps : {0, 1, 12, 48}) {
            for (std::size_t n : {0, 1, 7, 8, 15, 16, 31, 32, 33, 100}) {
                for (bool with_centre : {true, false}) {
                    const auto xf = random_floats(rng, n + taps + 1);
                    const auto cf = random_floats(rng, taps + 1);
                    std::vector<const float*> srcf(taps);
                    for (std::size_t j = 0; j < taps; ++j) srcf[j] = xf.data() + j + 1;
                    std::vector<float> got(n + 1, -7.0f);
                    k.columns.f32(F32Columns{got.data(), with_centre ? xf.data() : nullptr, cf[taps], srcf.data(), cf.data(), taps, n});
                    for (std::size_t f = 0; f < n; ++f) {
                        float acc = with_centre ? xf[f] * cf[taps] : 0.0f;
                        for (std::size_t j = 0; j < taps; ++j) {
                            const float p = srcf[j][f] * cf[j];
                            acc = acc + p;
                        }
                        ASSERT_EQ(std::bit_cast<std::uint32_t>(got[f]), std::bit_cast<std::uint32_t>(acc))
                            << k.name << " taps=" << taps << " n=" << n << " f=" << f;
                    }
                    EXPECT_EQ(got[n], -7.0f);

                    // int16: coefficients near full scale, input at +-32768
                    // matching their signs, groups of at most 65535.
                    auto ci = random_i16(rng, taps + 1, -20000, 20000);
                    std::vector<std::int16_t> xi(n + taps + 1);
                    for (std::size_t i = 0; i < xi.size(); ++i) xi[i] = (rng() & 1) ? 32767 : -32768;
                    for (std::size_t j = 0; j < taps; ++j) {
                        for (std::size_t f = 0; f < n; ++f) xi[j + 1 + f] = ci[j] < 0 ? -32768 : 32767;
                    }
                    std::vector<std::size_t> ends;
                    std::int64_t sum = with_centre ? std::abs(std::int64_t{ci[taps]}) : 0;
                    for (std::size_t j = 0; j < taps; ++j) {
                        if (sum + std::abs(std::int64_t{ci[j]}) > 65535) {
                            ends.push_back(j);
                            sum = 0;
                        }
                        sum += std::abs(std::int64_t{ci[j]});
                    }
                    ends.push_back(taps);
                    std::vector<const std::int16_t*> srci(taps);
                    for (std::size_t j = 0; j < taps; ++j) srci[j] = xi.data() + j + 1;
                    std::vector<std::int64_t> got_i(n + 1, -7);
                    k.columns.i16(I16Columns{got_i.data(), with_centre ? xi.data() : nullptr, ci[taps], srci.data(), ci.data(),
                                            ends.data(), ends.size(), n});
                    for (std::size_t f = 0; f < n; ++f) {
                        std::int64_t acc = with_centre ? std::int64_t{xi[f]} * ci[taps] : 0;
                        for (std::size_t j = 0; j < taps; ++j) acc += std::int64_t{srci[j][f]} * ci[j];
                        ASSERT_EQ(got_i[f], acc) << k.name << " taps=" << taps << " n=" << n << " f=" << f;
                    }
                    EXPECT_EQ(got_i[n], -7);
                }
            }
        }
    }
}

// Each backend's row, resolved for a processor with every feature and for one
// with none: a family comes from the first source whose features are there.
TEST(Kernels, BackendTableDispatch) {
    const CpuFeatures all{true, true, true};
    const CpuFeatures none{};
    EXPECT_EQ(resolve_kernels(FirBackend::Scalar, all).f32.dot, &dot_f32_scalar);
    EXPECT_EQ(resolve_kernels(FirBackend::Scalar, all).i16.dot, &dot_i16_q15_scalar);
    EXPECT_EQ(resolve_kernels(FirBackend::Avx2Fma, all).f32.dot, &dot_f32_avx2_inner);
    EXPECT_EQ(resolve_kernels(FirBackend::Avx2Fma, all).i16.dot, &dot_i16_q15_avx2_inner);
    EXPECT_EQ(resolve_kernels(FirBackend::Avx512f, all).f32.dot, &dot_f32_avx512_inner);
    EXPECT_EQ(resolve_kernels(FirBackend::Avx512f, all).i16.dot, &dot_i16_q15_avx2_inner);
    EXPECT_EQ(resolve_kernels(FirBackend::Avx512f, all).columns.f32, &columns_f32_avx2);
    EXPECT_EQ(resolve_kernels(FirBackend::Avx512f, all).plan, &plan_frames_avx512);
    // Without AVX2 and FMA the AVX-512F backend's int16 products and
    // columns are the scalar ones.
    const CpuFeatures avx512_only{false, false, true};
    EXPECT_EQ(resolve_kernels(FirBackend::Avx512f, avx512_only).f32.dot, &dot_f32_avx512_inner);
    EXPECT_EQ(resolve_kernels(FirBackend::Avx512f, avx512_only).i16.dot, &dot_i16_q15_scalar);
    EXPECT_EQ(resolve_kernels(FirBackend::Avx512f, avx512_only).columns.i16, &columns_i16_scalar);
    EXPECT_EQ(resolve_kernels(FirBackend::Avx512f, avx512_only).plan, &plan_frames_avx512);
    for (FirBackend b : {FirBackend::Neon, FirBackend::Rvv}) {
        EXPECT_EQ(resolve_kernels(b, all).f32.dot, &dot_f32_scalar);
        EXPECT_EQ(resolve_kernels(b, all).i16.dot, &dot_i16_q15_scalar);
    }
    EXPECT_EQ(resolve_kernels(FirBackend::Avx2Fma, none).f32.dot, &dot_f32_scalar);
    // The AVX-512F backend's int16 kernel gives the exact sum either way.
    std::mt19937 rng(5);
    const auto w = random_i16(rng, 96);
    const auto c = random_i16(rng, 96, -2000, 2000);
    EXPECT_EQ(resolve_kernels(FirBackend::Avx512f).i16.dot(w.data(), c.data(), 96), exact_i16(w, c));
}

}  // namespace
}  // namespace tenvira
