// The studio-quality path as a stream: exact totals, chunk invariance, reset,
// exact due counts and hold-back, the response at a few frequencies, int16
// rounding and saturation, and agreement between backends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "backend/cpu_features.hpp"
#include "backend/hq_kernels.hpp"
#include "resampler/hq_stream.hpp"

namespace tenvira {
namespace {

constexpr double pi = 3.141592653589793;

std::vector<FirBackend> backends() {
    std::vector<FirBackend> all = {FirBackend::Scalar};
    if (has_feature(CpuFeature::Avx2) && has_feature(CpuFeature::Fma)) all.push_back(FirBackend::Avx2Fma);
    if (has_feature(CpuFeature::Avx512f)) all.push_back(FirBackend::Avx512f);
    return all;
}

// Streams x (interleaved) in chunks of the given sizes (cycled), then ends
// the stream; every render takes exactly what frames_due_after promised.
template <typename S>
std::vector<S> run(HqStream<S>& s, const std::vector<S>& x, std::uint64_t channels,
                   const std::vector<std::uint64_t>& chunks) {
    std::vector<S> y;
    const std::uint64_t frames = x.size() / channels;
    for (std::uint64_t at = 0, k = 0; at < frames; ++k) {
        const std::uint64_t n = std::min(chunks[k % chunks.size()], frames - at);
        const std::uint64_t promised = s.frames_due_after(n);
        s.append(x.data() + at * channels, n);
        const std::size_t base = y.size();
        y.resize(base + (promised + 1) * channels);
        const std::uint64_t got = s.render(y.data() + base, promised + 1, false);
        EXPECT_EQ(got, promised);
        y.resize(base + got * channels);
        at += n;
    }
    const std::size_t base = y.size();
    y.resize(base + s.pending_at_end() * channels);
    y.resize(base + s.render(y.data() + base, s.pending_at_end(), true) * channels);
    return y;
}

template <typename S>
std::vector<S> noise(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> d(-0.7, 0.7);
    std::vector<S> x(n);
    for (S& v : x) v = static_cast<S>(std::is_same_v<S, float> ? d(rng) : std::round(d(rng) * 32767.0));
    return x;
}

std::uint64_t expected_total(std::uint64_t frames, std::uint32_t in, std::uint32_t out) {
    return (frames * out + in - 1) / in;
}

using Case = std::tuple<std::uint32_t, std::uint32_t, HqPreset>;

class HqStreamContract : public ::testing::TestWithParam<Case> {};

// Exact totals and identical output however the input is split, for both
// sample types, two channels and every available backend; channels do not
// leak into each other.
TEST_P(HqStreamContract, TotalsChunkingResetAndChannels) {
    const auto [in, out, preset] = GetParam();
    const std::uint64_t frames = 3 * in / 50 + 37;
    for (const FirBackend b : backends()) {
        const auto xf = noise<float>(2 * frames, 7);
        HqStream<float> s(in, out, 2, preset, b);
        const auto whole = run(s, xf, 2, {frames});
        ASSERT_EQ(whole.size(), 2 * expected_total(frames, in, out));
        s.reset();
        EXPECT_EQ(run(s, xf, 2, {1, 7, 160, 3, 1000}), whole);
        // Channel 1 of the pair does not depend on channel 0 (a stream may
        // compute two channels together in the lanes of one vector).
        auto other = xf;
        for (std::uint64_t f = 0; f < frames; ++f) other[2 * f] = 0.25f - xf[2 * f];
        HqStream<float> m(in, out, 2, preset, b);
        const auto y1 = run(m, other, 2, {frames});
        for (std::size_t i = 1; i < y1.size(); i += 2) ASSERT_EQ(y1[i], whole[i]) << i;

        const auto xi = noise<std::int16_t>(2 * frames, 9);
        HqStream<std::int16_t> t(in, out, 2, preset, b);
        const auto wi = run(t, xi, 2, {frames});
        ASSERT_EQ(wi.size(), 2 * expected_total(frames, in, out));
        t.reset();
        EXPECT_EQ(run(t, xi, 2, {5, 1, 333}), wi);
    }
}

// Output frame i first appears once hold_back frames beyond its exact time
// i * in / out have arrived, never later, and frame 0 exactly then; in mono
// and stereo streams and for both sample types, whose forms may differ.
template <typename S>
void check_hold_back(std::uint32_t in, std::uint32_t out, HqPreset preset) {
    for (const std::uint64_t channels : {1u, 2u}) {
        HqStream<S> s(in, out, channels, preset, FirBackend::Scalar);
        const std::vector<S> one(channels, S{1});
        std::vector<S> y((64 + 2 * out / in) * channels);
        double worst = -1.0;
        std::uint64_t first = 0;
        for (std::uint64_t k = 1; k <= 3 * s.hold_back() + 50; ++k) {
            s.append(one.data(), 1);
            const std::uint64_t before = s.frames_out();
            const std::uint64_t n = s.render(y.data(), y.size() / channels, false);
            if (n > 0 && before == 0) first = k;
            for (std::uint64_t i = before; i < before + n; ++i) {
                worst = std::max(worst, static_cast<double>(k) - static_cast<double>(i) * in / out);
            }
        }
        EXPECT_EQ(first, s.hold_back()) << channels;
        EXPECT_LE(worst, static_cast<double>(s.hold_back())) << channels;
    }
}

TEST_P(HqStreamContract, HoldBack) {
    const auto [in, out, preset] = GetParam();
    check_hold_back<float>(in, out, preset);
    check_hold_back<std::int16_t>(in, out, preset);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, HqStreamContract,
    ::testing::Values(Case{48000, 16000, HqPreset::Hq}, Case{44100, 48000, HqPreset::Hq},
                      Case{16000, 8000, HqPreset::Vhq}, Case{8000, 16000, HqPreset::Hq},
                      Case{24000, 8000, HqPreset::Vhq}, Case{96000, 44100, HqPreset::Vhq},
                      Case{44100, 47999, HqPreset::Hq}, Case{16000, 16000, HqPreset::Hq},
                      Case{11025, 4000, HqPreset::Hq}, Case{44100, 1000, HqPreset::Hq}));

// Without half-band stages, output frame i of the direct form is the sum of
// the stage's row for phase i P mod Q over the window from floor(i P / Q) +
// ahead - taps + 1, rows past Q / 2 held mirrored, however the stream pairs
// frames to share window loads: checked against that sum in float64.
TEST(HqStream, DirectFormIsItsRowsSums) {
    for (const auto& [in, out, preset] : {Case{44100, 48000, HqPreset::Hq}, Case{48000, 44100, HqPreset::Vhq},
                                          Case{48000, 40000, HqPreset::Hq}}) {
        const std::uint64_t frames = 2 * in / 50 + 11;
        const auto x = noise<float>(frames, 3);
        for (const FirBackend b : backends()) {
            HqStream<float> s(in, out, 1, preset, b);
            const HqPolyphase& poly = s.design().polyphase();
            ASSERT_TRUE(s.design().half_bands().empty());
            ASSERT_GT(poly.pad, 0u);
            const auto y = run(s, x, 1, {1, 300, 17, 1200});
            const auto p = poly.step_num, q = poly.step_den, taps = poly.taps, lead = poly.lead();
            const auto tap = [&](std::uint64_t phase, std::uint64_t c) {
                const bool held = !poly.mirrored() || 2 * phase <= q;
                const std::uint64_t r = held ? phase : q - phase;
                if (!held && c < lead) return 0.0;
                const std::uint64_t at = r * poly.stride() + poly.pad + (held ? c : taps - 1 + lead - c);
                // Split rows (float64 centres) are checked against their
                // float32 copies, which differ by far less than the bound.
                return poly.rows_f64.empty() ? static_cast<double>(poly.rows_f32[at]) : poly.rows_f64[at];
            };
            for (std::uint64_t i = 0; i < y.size(); ++i) {
                const auto first = static_cast<std::int64_t>(i * p / q + poly.ahead) - static_cast<std::int64_t>(taps) + 1;
                double sum = 0.0;
                for (std::uint64_t c = 0; c < taps; ++c) {
                    const std::int64_t f = first + static_cast<std::int64_t>(c);
                    if (f >= 0 && f < static_cast<std::int64_t>(frames)) sum += x[static_cast<std::size_t>(f)] * tap(i * p % q, c);
                }
                ASSERT_NEAR(y[i], sum, 2e-6) << in << "->" << out << " frame " << i << " backend " << static_cast<int>(b);
            }
        }
    }
}

// Level of a tone of frequency f (Hz at `rate`) in y, by a Kaiser-windowed
// Fourier sum, relative to `amplitude`, in dB.
double level(const std::vector<double>& y, double f, double rate, double amplitude) {
    const std::size_t n = y.size();
    double re = 0.0, im = 0.0, wsum = 0.0;
    const double beta = 20.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = 2.0 * static_cast<double>(i) / static_cast<double>(n - 1) - 1.0;
        const double w = std::cyl_bessel_i(0.0, beta * std::sqrt(std::max(0.0, 1.0 - x * x)));
        re += w * y[i] * std::cos(2.0 * pi * f / rate * static_cast<double>(i));
        im += w * y[i] * std::sin(2.0 * pi * f / rate * static_cast<double>(i));
        wsum += w;
    }
    return 20.0 * std::log10(std::max(2.0 * std::hypot(re, im) / wsum / amplitude, 1e-15));
}

// A tone's level after the path: where it lands (its alias above the output
// Nyquist frequency), 4096 output frames after the start.
double tone_through(std::uint32_t in, std::uint32_t out, HqPreset preset, double f, FirBackend b) {
    const std::size_t frames = static_cast<std::size_t>((4096.0 + 4096.0) * in / out) + 2048;
    std::vector<float> x(frames);
    for (std::size_t i = 0; i < frames; ++i) x[i] = static_cast<float>(0.5 * std::sin(2.0 * pi * f / in * i));
    HqStream<float> s(in, out, 1, preset, b);
    const auto y = run(s, x, 1, {frames});
    std::vector<double> part(y.begin() + 2048, y.begin() + 2048 + 4096);
    double landed = std::fmod(f, out);
    if (landed > out / 2.0) landed = out - landed;
    return level(part, landed, out, 0.5);
}

using Response = std::tuple<std::uint32_t, std::uint32_t, HqPreset, double, double, double>;
class HqResponse : public ::testing::TestWithParam<Response> {};

// Pass band, band edge and stop band, as fractions of the lower Nyquist
// frequency: level within [lo, hi] dB.
TEST_P(HqResponse, ToneLevel) {
    const auto [in, out, preset, fraction, lo, hi] = GetParam();
    const double f = fraction * std::min(in, out) / 2.0;
    for (const FirBackend b : backends()) {
        const double l = tone_through(in, out, preset, f, b);
        EXPECT_GE(l, lo) << f << " Hz, backend " << static_cast<int>(b);
        EXPECT_LE(l, hi) << f << " Hz, backend " << static_cast<int>(b);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frequencies, HqResponse,
    ::testing::Values(
        // Pass band and edge.
        Response{48000, 16000, HqPreset::Hq, 0.31, -0.01, 0.01},
        Response{48000, 16000, HqPreset::Hq, 0.90, -0.01, 0.01},
        Response{44100, 48000, HqPreset::Hq, 0.90, -0.01, 0.01},
        Response{44100, 48000, HqPreset::Vhq, 0.93, -0.001, 0.001},
        Response{16000, 8000, HqPreset::Vhq, 0.93, -0.001, 0.001},
        Response{44100, 47999, HqPreset::Hq, 0.6, -0.01, 0.01},
        Response{48000, 16000, HqPreset::Hq, 0.95, -3.0, 0.0},
        Response{8000, 16000, HqPreset::Vhq, 0.96, -3.0, 0.0},
        // Just above the output Nyquist frequency: aliases of decimators.
        Response{48000, 16000, HqPreset::Hq, 1.01, -300.0, -130.0},
        Response{16000, 8000, HqPreset::Vhq, 1.01, -300.0, -145.0},
        Response{96000, 44100, HqPreset::Hq, 1.02, -300.0, -130.0},
        Response{48000, 16000, HqPreset::Hq, 2.5, -300.0, -130.0}));

// The image of a tone near the input Nyquist frequency, for an interpolator.
TEST(HqResponse, ImagesOfInterpolators) {
    for (const auto& [in, out, preset, floor] : {std::tuple{44100u, 48000u, HqPreset::Hq, -130.0},
                                                 std::tuple{8000u, 16000u, HqPreset::Vhq, -145.0}}) {
        const double f = 0.985 * in / 2.0;
        const std::size_t frames = static_cast<std::size_t>(8192.0 * in / out) + 2048;
        std::vector<float> x(frames);
        for (std::size_t i = 0; i < frames; ++i) x[i] = static_cast<float>(0.5 * std::sin(2.0 * pi * f / in * i));
        HqStream<float> s(in, out, 1, preset, FirBackend::Scalar);
        const auto y = run(s, x, 1, {frames});
        std::vector<double> part(y.begin() + 2048, y.begin() + 2048 + 4096);
        EXPECT_LE(level(part, in - f, out, 0.5), floor) << in << " -> " << out;
    }
}

// int16: the float64 stream of the same filters rounded once, to within one
// step (with half-band stages, whose sums are rounded to the guard grid, as
// well), and saturation instead of wrap-around on a full-scale square wave
// that the filter overshoots; identical on every backend.
TEST(HqInt16, RoundingSaturationAndBackends) {
    for (const auto& [in, out] : {std::pair{16000u, 8000u}, std::pair{44100u, 48000u}, std::pair{44100u, 47999u},
                                  std::pair{48000u, 16000u}}) {
        std::vector<std::int16_t> x(6000);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = (i / 40) % 2 ? 32767 : -32768;
        std::vector<std::int16_t> first;
        for (const FirBackend b : backends()) {
            HqStream<std::int16_t> s(in, out, 1, HqPreset::Vhq, b);
            const auto y = run(s, x, 1, {700});
            if (first.empty()) first = y;
            EXPECT_EQ(y, first) << "backend " << static_cast<int>(b);
        }
        std::vector<float> xf(x.begin(), x.end());
        HqStream<float> f(in, out, 1, HqPreset::Vhq, FirBackend::Scalar);
        const auto model = run(f, xf, 1, {700});
        ASSERT_EQ(model.size(), first.size());
        int clipped = 0;
        for (std::size_t i = 0; i < model.size(); ++i) {
            const double expect = std::clamp(static_cast<double>(model[i]), -32768.0, 32767.0);
            ASSERT_LE(std::fabs(first[i] - expect), 1.0) << i;
            clipped += model[i] > 32767.5f || model[i] < -32768.5f;
        }
        EXPECT_GT(clipped, 0);  // the square wave did overshoot
    }
}

// Row r of a design's polyphase stage as the Kaiser-windowed sinc at its
// phase, evaluated directly and scaled to unit sum.
std::vector<double> prototype_row(const HqPolyphase& stage, HqPreset preset, std::uint64_t r) {
    const HqPresetConstants& constants = hq_preset_constants(preset);
    const double p = static_cast<double>(stage.step_num), q = static_cast<double>(stage.step_den);
    const double half = constants.half_width / std::min(1.0, q / p), fc = 0.5 * constants.cutoff * std::min(1.0, q / p);
    const double phase =
        stage.table == 0 ? static_cast<double>(r) / q : (static_cast<double>(r) - 1.0) / static_cast<double>(stage.table);
    std::vector<double> h(stage.taps);
    double sum = 0.0;
    for (std::uint64_t c = 0; c < stage.taps; ++c) {
        const double t = static_cast<double>(stage.ahead) - static_cast<double>(stage.taps - 1 - c) - phase;
        const double x = t / half;
        if (std::fabs(x) >= 1.0) continue;
        const double sinc = t == 0.0 ? 2.0 * fc : std::sin(2.0 * pi * fc * t) / (pi * t);
        h[c] = sinc * std::cyl_bessel_i(0.0, constants.beta * std::sqrt(1.0 - x * x));
        sum += h[c];
    }
    for (double& v : h) v /= sum;
    return h;
}

// Every stored row is the Kaiser-windowed sinc at its phase, scaled to unit
// sum, to within 1e-12 of its peak (and float32 rounding where rows are
// split), on exact rows (mirrored halves) and on an
// interpolated table (whose end rows reach past phases 0 and 1), upsampling
// and downsampling.
TEST(HqDesign, RowsAreTheWindowedSinc) {
    for (const auto& [in, out] : {std::pair{44100u, 48000u}, std::pair{44100u, 47999u}, std::pair{48000u, 44100u}}) {
        const HqDesign design = HqDesign::build(in, out, HqPreset::Vhq, HqArithmetic::F64);
        ASSERT_TRUE(design.half_bands().empty());
        const HqPolyphase& stage = design.polyphase();
        ASSERT_GT(stage.stored, 2u);
        for (std::uint64_t r = 0; r < stage.stored; ++r) {
            const std::vector<double> h = prototype_row(stage, HqPreset::Vhq, r);
            double peak = 0.0;
            for (const double v : h) peak = std::max(peak, std::fabs(v));
            // Split rows: float64 centres, the rest in float32.
            const bool split = stage.rows_f64.empty();
            ASSERT_EQ(split, stage.table == 0);
            double error = 0.0;
            for (std::uint64_t c = 0; c < stage.taps; ++c) {
                const std::uint64_t e = stage.pad + c;
                double v = 0.0, bound = 1e-12 * peak;
                if (!split) {
                    v = stage.rows_f64[r * stage.stride() + e];
                } else if (e >= stage.centre_first && e < stage.centre_first + stage.centre_stride) {
                    v = stage.rows_centre[r * stage.centre_stride + e - stage.centre_first];
                } else {
                    v = stage.rows_f32[r * stage.stride() + e];
                    bound += 0x1p-24 * std::fabs(h[c]);
                }
                error = std::max(error, std::fabs(v - h[c]) - bound);
            }
            EXPECT_LE(error, 0.0) << in << " -> " << out << ", row " << r;
        }
    }
}

// int16 rows are those rows rounded to 2^-30 (nearest), summing to exactly
// 2^30, the residue on the largest tap: rows scaled as they are rounded
// (exact rows, mirrored; an interpolated table) and rows that the blocks
// could also use (scaled first, after a half-band stage).
TEST(HqDesign, Int16RowsAreTheRoundedRows) {
    for (const auto& [preset, in, out] :
         {std::tuple{HqPreset::Vhq, 44100u, 48000u}, std::tuple{HqPreset::Hq, 44100u, 47999u},
          std::tuple{HqPreset::Hq, 48000u, 16000u}}) {
        const HqDesign design = HqDesign::build(in, out, preset, HqArithmetic::I16);
        const HqPolyphase& stage = design.polyphase();
        ASSERT_GT(stage.stored, 0u) << in << " -> " << out;
        for (std::uint64_t r = 0; r < stage.stored; ++r) {
            const std::vector<double> h = prototype_row(stage, preset, r);
            const std::int32_t* row = stage.rows_i32.data() + r * stage.stride() + stage.pad;
            const auto peak = static_cast<std::uint64_t>(
                std::max_element(h.begin(), h.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); }) -
                h.begin());
            double sum = 0.0;
            for (std::uint64_t c = 0; c < stage.taps; ++c) {
                sum += row[c];
                const double off = std::fabs(row[c] - std::ldexp(h[c], 30));
                EXPECT_LE(off, c == peak ? static_cast<double>(stage.taps) : 0.501)
                    << in << " -> " << out << ", row " << r << ", tap " << c;
            }
            EXPECT_EQ(sum, 0x1p30) << in << " -> " << out << ", row " << r;
        }
    }
}

// Designs are shared whichever build of the design's loops made them: the
// AVX2 build gives the baseline's bits, on exact rows (small and large Q,
// mirrored, split), interpolated tables and rows after half-band stages, in
// every arithmetic.
TEST(HqDesign, LoopBuildsGiveTheSameBits) {
    if (!has_feature(CpuFeature::Avx2) || !has_feature(CpuFeature::Fma)) GTEST_SKIP() << "no AVX2";
    const auto same = [](const auto& a, const auto& b) {
        return a.size() == b.size() && std::equal(a.data(), a.data() + a.size(), b.data());
    };
    for (const auto& [in, out, preset] : {Case{44100, 48000, HqPreset::Hq}, Case{44100, 48000, HqPreset::Vhq},
                                          Case{44100, 47999, HqPreset::Vhq}, Case{48000, 16000, HqPreset::Hq},
                                          Case{16000, 24000, HqPreset::Vhq}, Case{44100, 8000, HqPreset::Hq}}) {
        for (const HqArithmetic a : {HqArithmetic::F32, HqArithmetic::F64, HqArithmetic::I16}) {
            const HqDesign base = HqDesign::build(in, out, preset, a, hq_design_loops_baseline());
            const HqDesign wide = HqDesign::build(in, out, preset, a, hq_design_loops_avx2());
            const HqPolyphase &p = base.polyphase(), &w = wide.polyphase();
            EXPECT_TRUE(same(p.rows_f32, w.rows_f32) && same(p.rows_f64, w.rows_f64) && same(p.rows_i32, w.rows_i32) &&
                        same(p.rows_centre, w.rows_centre))
                << in << " -> " << out << " arithmetic " << static_cast<int>(a);
        }
    }
}

// Streams of one rate pair and preset share one design while any lives, and
// give the same output as a stream over a design built alone; a copy of a
// stream, assigned back after more calls, undoes them.
TEST(HqDesign, SharedBetweenStreamsAndCopies) {
    const auto x = noise<float>(5000, 3);
    HqStream<float> a(44100, 48000, 1, HqPreset::Hq, FirBackend::Scalar);
    HqStream<float> b(44100, 48000, 1, HqPreset::Hq, FirBackend::Scalar);
    EXPECT_EQ(&a.design(), &b.design());
    const auto alone = std::make_shared<const HqDesign>(HqDesign::build(44100, 48000, HqPreset::Hq, HqArithmetic::F32));
    HqStream<float> c(alone, 1, FirBackend::Scalar);
    const auto ya = run(a, x, 1, {480});
    EXPECT_EQ(run(c, x, 1, {5000}), ya);

    std::vector<float> y(4000);
    b.append(x.data(), 1000);
    const std::uint64_t first = b.render(y.data(), 4000, false);
    const HqStream<float> kept = b;
    b.append(x.data() + 1000, 1000);
    EXPECT_GT(b.render(y.data(), 4000, false), 0u);
    b = kept;
    EXPECT_EQ(b.frames_in(), 1000u);
    EXPECT_EQ(b.frames_out(), first);
    b.append(x.data() + 1000, 4000);
    std::vector<float> rest(b.frames_due_after(0) + b.pending_at_end() + 8);
    std::size_t n = b.render(rest.data(), rest.size(), false);
    n += b.render(rest.data() + n, rest.size() - n, true);
    EXPECT_TRUE(std::equal(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n), ya.begin() + first));
}

}  // namespace
}  // namespace tenvira
