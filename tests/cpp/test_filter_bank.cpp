// Filter design: path choice, the polyphase rows, the sparse fixed filters.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "filter/filter_bank.hpp"

namespace tenvira {
namespace {

constexpr Quality qualities[] = {Quality::Fast, Quality::Balanced, Quality::Best};
constexpr double pi = 3.141592653589793;

struct Expected {
    std::uint64_t taps_per_phase, phases;
    double beta;
    std::uint64_t fixed_taps, center, third_band_kept;
    double stop_limit;  // fixed filters' stop-band bound
};
constexpr Expected expected[] = {{24, 256, 5.0, 25, 12, 16, 1e-3},
                                 {48, 512, 7.5, 49, 24, 32, 6e-5},
                                 {96, 1024, 10.0, 97, 48, 64, 3e-6}};
const Expected& expected_for(Quality q) { return expected[static_cast<int>(q)]; }

HalfBandFilter half_band(std::uint32_t in, std::uint32_t out, Quality q) {
    return std::get<HalfBandFilter>(FilterBank::create(in, out, q).form);
}

// Zero-phase response of a symmetric sparse filter at w radians per sample.
template <typename Filter>
double sparse_response(const Filter& f, double w) {
    double h = f.center_f32;
    for (std::size_t k = 0; k < f.offsets.size(); ++k) h += f.coeffs_f32[k] * std::cos(w * double(f.offsets[k]));
    return h;
}

// Checks shared by both fixed filters: kept taps mirror around the centre,
// the largest sit at offsets -1 and +1, and the gain at DC is one.
template <typename Filter>
void expect_symmetric_low_pass(const Filter& f) {
    const std::size_t n = f.offsets.size();
    EXPECT_EQ(f.offsets[n / 2], 1);
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_EQ(f.offsets[k], -f.offsets[n - 1 - k]);
        EXPECT_EQ(f.coeffs_f32[k], f.coeffs_f32[n - 1 - k]) << "offset " << f.offsets[k];
        EXPECT_EQ(f.coeffs_q15[k], f.coeffs_q15[n - 1 - k]) << "offset " << f.offsets[k];
        EXPECT_LE(std::fabs(f.coeffs_f32[k]), f.coeffs_f32[n / 2]);
    }
    EXPECT_EQ(f.center_q15, to_q15(f.center_f32));
    EXPECT_NEAR(sparse_response(f, 0.0), 1.0, 1e-6);
}

TEST(DesignHelpers, BesselAndKaiserAgreeWithTheLibraryBesselFunction) {
    for (const double x : {0.0, 0.5, 2.0, 5.0, 7.5, 10.0}) {
        EXPECT_NEAR(bessel_i0((x / 2) * (x / 2)), std::cyl_bessel_i(0.0, x), 1e-12 * std::cyl_bessel_i(0.0, x));
    }
    for (const Expected& e : expected) {
        const std::uint64_t N = e.fixed_taps;
        for (std::uint64_t n = 0; n < N; ++n) {
            const double x = 2.0 * double(n) / double(N - 1) - 1.0;
            const double want = std::cyl_bessel_i(0.0, e.beta * std::sqrt(1.0 - x * x)) / std::cyl_bessel_i(0.0, e.beta);
            EXPECT_NEAR(kaiser_weight(n, N, e.beta), want, 1e-12);
        }
        EXPECT_EQ(kaiser_weight(N / 2, N, e.beta), 1.0);
    }
}

TEST(DesignHelpers, Q15ScaleRoundingAndClamp) {
    EXPECT_EQ(to_q15(1.0f), 32767);
    EXPECT_EQ(to_q15(-1.0f), -32767);
    EXPECT_EQ(to_q15(0.5f), 16384);  // 16383.5 rounds away from zero
    EXPECT_EQ(to_q15(-0.5f), -16384);
    EXPECT_EQ(to_q15(1.5f), 32767);
    EXPECT_EQ(to_q15(-1.5f), -32768);
}

// Only the three exact pairs get fixed filters; exact ratios at other rates do not.
TEST(FilterBank, PathAndSizesFollowTheExactRatePair) {
    enum Path { Poly, Half, Third };
    const struct {
        std::uint32_t in, out;
        Path path;
    } cases[] = {{8000, 16000, Half},  {16000, 8000, Half},  {24000, 8000, Third}, {8000, 24000, Poly},
                 {16000, 24000, Poly}, {24000, 16000, Poly}, {16000, 16000, Poly}, {32000, 16000, Poly},
                 {48000, 16000, Poly}, {24000, 1000, Poly},  {8000, 16001, Poly}};
    for (const Quality q : qualities) {
        const Expected& e = expected_for(q);
        const QualityPreset& preset = quality_preset(q);
        EXPECT_EQ(preset.taps_per_phase, e.taps_per_phase);
        EXPECT_EQ(preset.phases, e.phases);
        EXPECT_EQ(preset.kaiser_beta, e.beta);
        EXPECT_EQ(preset.fixed_taps, e.fixed_taps);
        EXPECT_EQ(preset.fixed_center, e.center);
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.in << " -> " << c.out << " quality " << int(q));
            const FilterBank bank = FilterBank::create(c.in, c.out, q);
            const std::uint64_t values = c.path == Poly ? e.phases * e.taps_per_phase : 0;
            EXPECT_EQ(bank.phases, e.phases);
            EXPECT_EQ(bank.taps, c.path == Poly ? e.taps_per_phase : e.fixed_taps);
            EXPECT_EQ(bank.half_band() != nullptr, c.path == Half);
            EXPECT_EQ(bank.third_band() != nullptr, c.path == Third);
            const PolyphaseRows* rows = bank.polyphase();
            EXPECT_EQ(rows != nullptr ? rows->coeffs_f32.size() : 0, values);
            EXPECT_EQ(rows != nullptr ? rows->coeffs_q15.size() : 0, values);
        }
    }
}

TEST(FilterBank, RowsHaveUnitSumAndMatchingQ15) {
    const std::pair<std::uint32_t, std::uint32_t> pairs[] = {
        {16000, 24000}, {24000, 16000}, {16000, 16000}, {24000, 1000}, {44100, 48000}};
    for (const Quality q : qualities) {
        for (const auto& [in, out] : pairs) {
            SCOPED_TRACE(testing::Message() << in << " -> " << out << " quality " << int(q));
            const FilterBank bank = FilterBank::create(in, out, q);
            ASSERT_NE(bank.polyphase(), nullptr);
            const PolyphaseRows& rows = *bank.polyphase();
            const std::size_t T = bank.taps;
            for (std::size_t p = 0; p < bank.phases; ++p) {
                double sum = 0.0;
                std::int64_t q15_sum = 0;
                for (std::size_t k = p * T; k < (p + 1) * T; ++k) {
                    sum += rows.coeffs_f32[k];
                    q15_sum += rows.coeffs_q15[k];
                    ASSERT_LE(std::fabs(rows.coeffs_q15[k] - double(rows.coeffs_f32[k]) * 32767.0), 0.5 + 1e-3) << k;
                }
                ASSERT_NEAR(sum, 1.0, 2e-7) << "row " << p;
                // Each Q15 value carries up to half a unit of rounding; the
                // worst row of any preset (Best, 16000 -> 24000) is 11 off.
                ASSERT_LE(std::abs(q15_sum - 32767), 12) << "row " << p;
            }
            for (std::size_t k = 0; k < T; ++k) EXPECT_EQ(rows.coeffs_f32[k], rows.coeffs_f32[T - 1 - k]) << k;
        }
    }
}

// Row 0 is centred between taps 11 and 12, row 128 (half a step on) on tap 12.
TEST(FilterBank, FastUpsamplingRowsPeakAtTheirCentre) {
    const FilterBank bank = FilterBank::create(16000, 24000, Quality::Fast);
    ASSERT_NE(bank.polyphase(), nullptr);
    const float* row0 = bank.polyphase()->coeffs_f32.data();
    const float* row128 = row0 + 128 * 24;
    EXPECT_EQ(row0[11], row0[12]);
    for (int k = 0; k < 24; ++k) {
        EXPECT_TRUE(k == 11 || k == 12 || std::fabs(row0[k]) < row0[11]) << k;
        EXPECT_TRUE(k == 12 || std::fabs(row128[k]) < row128[12]) << k;
    }
    // The signs alternate outward from the centre over most of the row, but
    // not out to its ends: with the cutoff at 0.95 the sinc's zeros drift off
    // the taps, and taps 1 and 2 (21 and 22) are both negative.
    for (int k = 3; k <= 10; ++k) EXPECT_EQ(row0[k] < 0.0f, (11 - k) % 2 == 1) << k;
    EXPECT_LT(row0[1], 0.0f);
    EXPECT_LT(row0[2], 0.0f);
    EXPECT_EQ(row0[21], row0[2]);
    EXPECT_GT(row0[0], 0.0f);
}

// The response of a row, computed here in double from its float32 taps: a
// low-pass at the cutoff (0.95 / 3 of Nyquist for 48000 -> 16000) that delays
// by its centre, (T - 1) / 2 + p / P taps.
TEST(FilterBank, BalancedDownsamplingRowIsAFractionalDelayLowPass) {
    const FilterBank bank = FilterBank::create(48000, 16000, Quality::Balanced);
    ASSERT_NE(bank.polyphase(), nullptr);
    const AlignedBuffer<float>& coeffs = bank.polyphase()->coeffs_f32;
    const std::size_t T = bank.taps;
    for (const std::size_t p : {0u, 100u, 256u, 511u}) {
        SCOPED_TRACE(testing::Message() << "row " << p);
        auto response = [&](double w) {
            std::complex<double> h = 0.0;
            for (std::size_t k = 0; k < T; ++k) h += double(coeffs[p * T + k]) * std::polar(1.0, -w * k);
            return h;
        };
        EXPECT_NEAR(response(0.0).real(), 1.0, 1e-6);
        for (double w = 0.0; w <= 0.15 * pi; w += 0.01) EXPECT_NEAR(std::abs(response(w)), 1.0, 1e-2) << w;
        EXPECT_NEAR(std::abs(response(0.95 / 3.0 * pi)), 0.5, 1e-2);
        for (double w = 0.45 * pi; w <= pi; w += 0.01) EXPECT_LT(std::abs(response(w)), 2e-4) << w;
        EXPECT_NEAR(-std::arg(response(0.02 * pi)) / (0.02 * pi), 23.5 + double(p) / 512.0, 1e-3);
    }
}

TEST(HalfBand, LayoutAndCoefficients) {
    const HalfBandFilter fast = half_band(16000, 8000, Quality::Fast);
    EXPECT_EQ(fast.offsets, (std::vector<std::int64_t>{-11, -9, -7, -5, -3, -1, 1, 3, 5, 7, 9, 11}));
    EXPECT_EQ(fast.input_offsets, (std::vector<std::int64_t>{6, 5, 4, 3, 2, 1, 0, -1, -2, -3, -4, -5}));
    for (const Quality q : qualities) {
        SCOPED_TRACE(testing::Message() << "quality " << int(q));
        const HalfBandFilter hb = half_band(16000, 8000, q);
        const HalfBandFilter other_way = half_band(8000, 16000, q);
        const auto c = std::int64_t(expected_for(q).center);
        EXPECT_EQ(hb.center, expected_for(q).center);
        ASSERT_EQ(hb.offsets.size(), std::size_t(c));
        ASSERT_EQ(hb.input_offsets.size(), hb.offsets.size());
        expect_symmetric_low_pass(hb);
        for (std::size_t k = 0; k < hb.offsets.size(); ++k) {
            EXPECT_EQ(hb.offsets[k], -(c - 1) + 2 * std::int64_t(k));
            EXPECT_EQ(2 * hb.input_offsets[k], 1 - hb.offsets[k]);
            EXPECT_EQ(hb.coeffs_f32[k], other_way.coeffs_f32[k]);
            EXPECT_EQ(hb.coeffs_x2_f32[k], 2.0f * hb.coeffs_f32[k]);
            EXPECT_LE(std::abs(hb.coeffs_x2_q15[k] - 2 * hb.coeffs_q15[k]), 1);
            // 0.5 sinc(d / 2) is positive at |d| = 1, 5, 9, ... and negative at 3, 7, 11, ...
            EXPECT_EQ(hb.coeffs_f32[k] > 0.0f, std::abs(hb.offsets[k]) % 4 == 1) << "offset " << hb.offsets[k];
        }
        // Normalisation lifts the centre slightly above 0.5.
        EXPECT_GT(hb.center_f32, 0.5f);
        EXPECT_LT(hb.center_f32, 0.501f);
        EXPECT_TRUE(q == Quality::Fast || hb.center_q15 == 16384);
        EXPECT_TRUE(q != Quality::Best || (hb.coeffs_q15[0] == 0 && hb.coeffs_q15[c - 1] == 0));
    }
}

// With every even distance but the centre zero, H(w) + H(pi - w) is the
// constant 2 * centre and H(pi / 2) the centre itself; past the transition
// around a quarter of the higher rate the filter stops.
TEST(HalfBand, FrequencyResponse) {
    for (const Quality q : qualities) {
        SCOPED_TRACE(testing::Message() << "quality " << int(q));
        const HalfBandFilter hb = half_band(16000, 8000, q);
        EXPECT_NEAR(sparse_response(hb, pi / 2), hb.center_f32, 1e-6);
        for (double w = 0.0; w <= pi / 2; w += 0.01) {
            EXPECT_NEAR(sparse_response(hb, w) + sparse_response(hb, pi - w), 2.0 * hb.center_f32, 1e-6) << w;
        }
        for (double w = 0.75 * pi; w <= pi; w += 0.005) {
            EXPECT_LT(std::fabs(sparse_response(hb, w)), expected_for(q).stop_limit) << w;
        }
    }
}

TEST(ThirdBand, LayoutAndCoefficients) {
    EXPECT_EQ(FilterBank::create(24000, 8000, Quality::Fast).third_band()->offsets,
              (std::vector<std::int64_t>{-11, -10, -8, -7, -5, -4, -2, -1, 1, 2, 4, 5, 7, 8, 10, 11}));
    for (const Quality q : qualities) {
        SCOPED_TRACE(testing::Message() << "quality " << int(q));
        const ThirdBandFilter tb = std::get<ThirdBandFilter>(FilterBank::create(24000, 8000, q).form);
        const std::size_t n = tb.offsets.size();
        ASSERT_EQ(n, expected_for(q).third_band_kept);
        EXPECT_EQ(tb.center, expected_for(q).center);
        EXPECT_TRUE(std::is_sorted(tb.offsets.begin(), tb.offsets.end()));
        for (const std::int64_t d : tb.offsets) EXPECT_TRUE(d % 3 != 0 && std::abs(d) < std::int64_t(tb.center)) << d;
        expect_symmetric_low_pass(tb);
        EXPECT_NEAR(tb.center_f32, 1.0 / 3.0, 1e-3);
        EXPECT_TRUE(q != Quality::Best || (tb.coeffs_q15[0] == 0 && tb.coeffs_q15[n - 1] == 0));
        // A low-pass at a sixth of the higher rate (pi / 3).
        for (double w = 0.6 * pi; w <= pi; w += 0.005) {
            EXPECT_LT(std::fabs(sparse_response(tb, w)), expected_for(q).stop_limit) << w;
        }
    }
}

}  // namespace
}  // namespace tenvira

namespace tenvira {
namespace {

// One design per rate pair and quality while anything uses it, the same
// coefficients as designing anew, and freed with its last user; many
// threads asking at once all get the one design.
TEST(SharedDesigns, OneDesignPerKeyWhileInUse) {
    const std::size_t before = FilterBank::shared_designs();
    auto a = FilterBank::shared(44100, 48000, Quality::Best);
    auto b = FilterBank::shared(44100, 48000, Quality::Best);
    auto other = FilterBank::shared(44100, 48000, Quality::Fast);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_NE(a.get(), other.get());
    const FilterBank fresh = FilterBank::create(44100, 48000, Quality::Best);
    ASSERT_NE(a->polyphase(), nullptr);
    const auto& shared_rows = a->polyphase()->coeffs_f32;
    const auto& fresh_rows = fresh.polyphase()->coeffs_f32;
    ASSERT_EQ(shared_rows.size(), fresh_rows.size());
    EXPECT_EQ(std::memcmp(shared_rows.data(), fresh_rows.data(), shared_rows.size() * sizeof(float)), 0);
    EXPECT_EQ(FilterBank::shared_designs(), before + 2);
    a.reset();
    b.reset();
    other.reset();
    EXPECT_EQ(FilterBank::shared_designs(), before);

    std::vector<std::shared_ptr<const FilterBank>> got(8);
    std::vector<std::thread> threads;
    for (auto& slot : got) threads.emplace_back([&slot] { slot = FilterBank::shared(16000, 24000, Quality::Best); });
    for (auto& t : threads) t.join();
    for (const auto& g : got) EXPECT_EQ(g.get(), got[0].get());
}

}  // namespace
}  // namespace tenvira
