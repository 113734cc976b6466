// The studio-quality kernels of every backend this processor runs against the
// scalar reference: float sums to within the rounding of their different
// summation order, over lengths, strides and counts that exercise every
// remainder path; the overlap-save blocks against the direct sums they
// stand for.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "backend/cpu_features.hpp"
#include "backend/hq_backend.hpp"
#include "backend/hq_kernels.hpp"
#include "filter/hq_fft.hpp"

namespace tenvira {
namespace {

std::vector<const HqKernels*> vector_kernels() {
    std::vector<const HqKernels*> all;
    if (has_feature(CpuFeature::Avx2) && has_feature(CpuFeature::Fma)) all.push_back(&hq_kernels(FirBackend::Avx2Fma));
    if (has_feature(CpuFeature::Avx512f)) all.push_back(&hq_kernels(FirBackend::Avx512f));
    return all;
}

template <typename T>
std::vector<T> random_values(std::mt19937& rng, std::size_t n, double scale) {
    std::uniform_real_distribution<double> d(-scale, scale);
    std::vector<T> v(n);
    for (T& x : v) x = static_cast<T>(std::round(d(rng) * (std::is_integral_v<T> ? 1.0 : 1e6)) /
                                      (std::is_integral_v<T> ? 1.0 : 1e6));
    return v;
}

const std::size_t lengths[] = {0, 1, 7, 8, 15, 16, 17, 33, 64, 208, 303};
const std::size_t counts[] = {1, 2, 3, 4, 5, 7, 8, 9, 13, 16, 17};

// Rows read forward and backward (HqRow) against the scalar kernels; two
// rows on the same windows, the second up to nine taps longer (it starts
// that much earlier in a stream), give exactly each row's own results.
TEST(HqKernels, RowsAgreeWithScalar) {
    std::mt19937 rng(5);
    for (const HqKernels* k : vector_kernels()) {
        for (const std::size_t n : lengths) {
            for (const std::size_t count : counts) {
                const std::size_t step = 1 + count % 3 * 2, longer = count % 10;
                const std::size_t span = n + longer + step * count;
                const auto xf = random_values<float>(rng, span, 1.0);
                const auto rf = random_values<float>(rng, n + longer, 1.0);
                const std::vector<double> xd(xf.begin(), xf.end()), rd(rf.begin(), rf.end());
                for (const bool backward : {false, true}) {
                    const HqRow<float> row{backward ? rf.data() + n - 1 : rf.data(), backward, n};
                    const HqRow<double> rowd{backward ? rd.data() + n - 1 : rd.data(), backward, n};
                    std::vector<float> ref(count), got(count);
                    hq_rows_f32_scalar(xf.data(), step, row, count, ref.data());
                    k->rows_f32(xf.data(), step, row, count, got.data());
                    for (std::size_t i = 0; i < count; ++i) EXPECT_NEAR(got[i], ref[i], 1e-5f * (1.0f + n)) << k->name;
                    std::vector<double> refd(count), gotd(count);
                    hq_rows_f64_scalar(xd.data(), step, rowd, count, refd.data());
                    k->rows_f64(xd.data(), step, rowd, count, gotd.data());
                    for (std::size_t i = 0; i < count; ++i) EXPECT_NEAR(gotd[i], refd[i], 1e-13 * (1.0 + n)) << k->name;

                    // The other row of a pair: the same values read the
                    // other way, `longer` taps longer.
                    const HqRow<float> other{backward ? rf.data() : rf.data() + n + longer - 1, !backward, n + longer};
                    const HqRow<double> otherd{backward ? rd.data() : rd.data() + n + longer - 1, !backward, n + longer};
                    std::vector<float> a(count), b(count), alone(count);
                    k->rows2_f32(xf.data(), step, row, other, count, a.data(), b.data());
                    k->rows_f32(xf.data(), step, other, count, alone.data());
                    EXPECT_EQ(a, got) << k->name;
                    EXPECT_EQ(b, alone) << k->name;
                    std::vector<double> ad(count), bd(count), aloned(count);
                    k->rows2_f64(xd.data(), step, rowd, otherd, count, ad.data(), bd.data());
                    k->rows_f64(xd.data(), step, otherd, count, aloned.data());
                    EXPECT_EQ(ad, gotd) << k->name;
                    EXPECT_EQ(bd, aloned) << k->name;
                }
            }
        }
    }
}

// Split rows (float64 centre, float32 tails) against the scalar kernel, with
// centres at either end, in the middle and empty; the float32 copy of a
// centre holds values that must never be read. Pairs as above.
TEST(HqKernels, SplitRowsAgreeWithScalar) {
    std::mt19937 rng(7);
    for (const HqKernels* k : vector_kernels()) {
        for (const std::size_t n : {16u, 17u, 64u, 208u, 303u}) {
            const std::size_t body = n / 8 * 8;
            using Centre = std::pair<std::size_t, std::size_t>;
            for (const auto& [begin, end] : {Centre{0, 0}, Centre{0, 8}, Centre{8, body - 8}, Centre{body - 8, body}}) {
                for (const std::size_t count : counts) {
                    const std::size_t step = 1 + count % 3 * 2, longer = count % 10;
                    const auto x = random_values<float>(rng, n + longer + step * count, 1.0);
                    const auto centre = random_values<double>(rng, n + longer, 1.0);
                    auto tails = random_values<float>(rng, n + longer, 1.0);
                    for (const bool backward : {false, true}) {
                        // Tap t of `row` is element t, or n - 1 - t backward;
                        // of `other`, the reverse over n + longer elements.
                        const auto make = [&](bool back, std::size_t len) {
                            const std::size_t at = back ? len - 1 : 0;
                            const std::size_t c = back ? at - begin : begin;
                            return HqSplitRow{tails.data() + at, centre.data() + c, back, len, begin, end};
                        };
                        const HqSplitRow row = make(backward, n), other = make(!backward, n + longer);
                        std::vector<float> poisoned = tails;
                        for (std::size_t t = begin; t < end; ++t) {
                            poisoned[backward ? n - 1 - t : t] = 1e30f;
                        }
                        std::vector<double> ref(count), got(count);
                        hq_rows_split_scalar(x.data(), step, row, count, ref.data());
                        HqSplitRow read = row;
                        read.at = poisoned.data() + (row.at - tails.data());
                        k->rows_split(x.data(), step, read, count, got.data());
                        for (std::size_t i = 0; i < count; ++i) EXPECT_NEAR(got[i], ref[i], 1e-5 * (1.0 + n)) << k->name;
                        std::vector<double> a(count), b(count), alone(count);
                        k->rows2_split(x.data(), step, read, other, count, a.data(), b.data());
                        k->rows_split(x.data(), step, other, count, alone.data());
                        EXPECT_EQ(a, got) << k->name;
                        EXPECT_EQ(b, alone) << k->name;
                    }
                }
            }
        }
    }
}

TEST(HqKernels, HalfBandAgreesWithScalar) {
    std::mt19937 rng(6);
    for (const HqKernels* k : vector_kernels()) {
        for (const std::size_t taps : {1u, 5u, 28u}) {
            for (const std::size_t n : {1u, 3u, 4u, 8u, 9u, 37u}) {
                const auto even = random_values<float>(rng, n, 1.0);
                const auto odd = random_values<float>(rng, n + 2 * taps, 1.0);
                const auto c = random_values<float>(rng, taps, 0.3);
                std::vector<float> ref(n), got(n);
                hq_half_band_f32_scalar(even.data(), odd.data() + taps, c.data(), taps, 0.5f, n, ref.data());
                k->half_band_f32(even.data(), odd.data() + taps, c.data(), taps, 0.5f, n, got.data());
                for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(got[j], ref[j], 1e-5f * (1.0f + taps)) << k->name;

                const std::vector<double> ed(even.begin(), even.end()), od(odd.begin(), odd.end());
                const std::vector<double> cd(c.begin(), c.end());
                std::vector<double> refd(n), gotd(n);
                hq_half_band_f64_scalar(ed.data(), od.data() + taps, cd.data(), taps, 0.5, n, refd.data());
                k->half_band_f64(ed.data(), od.data() + taps, cd.data(), taps, 0.5, n, gotd.data());
                for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(gotd[j], refd[j], 1e-13 * (1.0 + taps)) << k->name;
            }
        }
    }
}

// Every output of a block is its row's correlation with the block's input
// from frame jP + floor(sP / Q) on, for each channel, whatever the split,
// the arithmetic, the channel count (lanes shared or not) and the phases;
// and a backend's wider vectors give the very same bits.
TEST(HqOverlapSave, BlocksEqualTheDirectSums) {
    struct Case {
        std::uint64_t p, q, split, taps, size;
    };
    const Case cases[] = {{2, 1, 1, 40, 128}, {2, 1, 2, 40, 128}, {1, 2, 4, 24, 64}, {3, 2, 1, 30, 96},
                          {2, 3, 2, 17, 96},  {1, 1, 1, 9, 64},   {3, 4, 1, 21, 72}};
    std::mt19937 rng(7);
    for (const Case& c : cases) {
        const auto rows = random_values<double>(rng, c.q * c.taps, 1.0);
        for (const bool wide : {false, true}) {
            const HqOverlapSave f(rows.data(), c.taps, c.p, c.q, c.split, c.size, wide);
            ASSERT_GT(f.outputs(), 0u);
            for (const std::size_t channels : {1u, 2u, 3u}) {
                const auto x = random_values<float>(rng, channels * c.size, 1.0);
                std::vector<const float*> starts(channels);
                for (std::size_t ch = 0; ch < channels; ++ch) starts[ch] = x.data() + ch * c.size;
                std::vector<double> work(f.work_size(channels)), y(channels * f.outputs());
                f.run(channels, starts.data(), work.data(), y.data());
                for (const HqKernels* k : vector_kernels()) {
                    if (k->vector_blocks == nullptr) continue;
                    const auto wider = k->vector_blocks(f);
                    if (wider == nullptr) continue;
                    std::vector<double> more(wider->work_size(channels) + 1), same(y.size());
                    wider->run(channels, starts.data(), more.data() + 1, same.data());  // misaligned on purpose
                    EXPECT_EQ(same, y) << k->name << " " << c.p << "/" << c.q << " split " << c.split;
                }
                for (std::size_t ch = 0; ch < channels; ++ch) {
                    for (std::uint64_t i = 0; i < f.outputs(); ++i) {
                        const std::uint64_t j = i / c.q, s = i % c.q;
                        const double* row = rows.data() + (s * c.p % c.q) * c.taps;
                        const float* from = starts[ch] + j * c.p + s * c.p / c.q;
                        double want = 0.0, scale = 0.0;
                        for (std::uint64_t t = 0; t < c.taps; ++t) {
                            want += row[t] * from[t];
                            scale += std::fabs(row[t] * from[t]);
                        }
                        EXPECT_NEAR(y[ch * f.outputs() + i], want, (wide ? 1e-13 : 1e-5) * (1.0 + scale))
                            << c.p << "/" << c.q << " split " << c.split << " channel " << ch << " output " << i;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace tenvira
