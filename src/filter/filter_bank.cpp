#include "filter/filter_bank.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <span>
#include <tuple>

#include "base/fault.hpp"
#include "base/shared_cache.hpp"

namespace tenvira {

namespace {

constexpr double pi = std::numbers::pi;
constexpr double half_pi = pi / 2;
constexpr double one_third = 1.0 / 3.0;

// Indexed by Quality: Fast, Balanced, Best.
constexpr QualityPreset presets[] = {
    {24, 256, 5.0, 25, 12},
    {48, 512, 7.5, 49, 24},
    {96, 1024, 10.0, 97, 48},
};

// I0(beta * sqrt(1 - x^2) / 2) for tap n, x running from -1 to 1 across the
// filter: the window before division by its peak value I0(beta / 2).
double kaiser_numerator(std::uint64_t n, std::uint64_t N, double beta) {
    const double x = (2.0 * static_cast<double>(n)) / static_cast<double>(N - 1) + (-1.0);
    const double a = std::sqrt(1.0 - x * x) * beta * 0.5;
    return bessel_i0(a * a);
}

double kaiser_denominator(double beta) { return bessel_i0((0.5 * beta) * (0.5 * beta)); }

// The whole window of an N-tap filter, one value per tap. The denominator is
// evaluated once; every value is bit for bit what kaiser_weight(n, N, beta)
// returns, so that a design may look its window up instead of recomputing a
// Bessel series for every tap of every row.
std::vector<double> kaiser_window(std::uint64_t N, double beta) {
    const double denominator = kaiser_denominator(beta);
    std::vector<double> window(N);
    for (std::uint64_t n = 0; n < N; ++n) window[n] = kaiser_numerator(n, N, beta) / denominator;
    return window;
}

// cutoff * sinc(t): the ideal low-pass of the given cutoff (a fraction of the
// input Nyquist frequency), with t = (distance from the centre) * cutoff. At
// the centre the limit, cutoff itself, is used.
double lowpass_sinc(double t, double cutoff) {
    if (std::fabs(t) < 1e-12) return cutoff;
    return std::sin(t * pi) * cutoff / (t * pi);
}

// Scales h to unit sum. The sum runs in index order; an all-zero filter is
// left as it is.
void normalise_in_double(std::vector<double>& h) {
    double sum = 0.0;
    for (const double v : h) sum += v;
    if (sum == 0.0) return;
    for (double& v : h) v /= sum;
}

template <typename T>
AlignedBuffer<T> aligned(const std::vector<T>& values) {
    return AlignedBuffer<T>(std::span<const T>(values));
}

std::vector<std::int16_t> quantise(const std::vector<float>& values) {
    std::vector<std::int16_t> q15(values.size());
    std::transform(values.begin(), values.end(), q15.begin(), to_q15);
    return q15;
}

// Row p of the bank is the ideal low-pass centred at tap position
// c + p/P, c = (T - 1) / 2, sampled at the integer taps and weighted by a
// window that stays centred at c: the rows step the sinc's centre through one
// input interval in P equal steps. Row 0 is centred between the two middle
// taps and is symmetric; row P/2 is centred exactly on tap T/2.
PolyphaseRows design_polyphase(const QualityPreset& preset, double cutoff) {
    const std::uint64_t T = preset.taps_per_phase;
    const std::uint64_t P = preset.phases;
    const std::vector<double> window = kaiser_window(T, preset.kaiser_beta);
    const double c = 0.5 * static_cast<double>(T - 1);

    std::vector<float> rows(P * T);
    for (std::uint64_t p = 0; p < P; ++p) {
        float* row = rows.data() + p * T;
        const double frac = static_cast<double>(p) / static_cast<double>(P);
        double sum = 0.0;
        for (std::uint64_t k = 0; k < T; ++k) {
            const double t = ((static_cast<double>(k) - c) - frac) * cutoff;
            const double h = lowpass_sinc(t, cutoff) * window[k];
            row[k] = static_cast<float>(h);
            sum += h;
        }
        // Each row is divided after rounding, in float32, by the float32
        // rounding of its double sum: the stored row then has unit DC gain
        // to within float32 rounding.
        if (sum != 0.0) {
            const float norm = static_cast<float>(sum);
            for (std::uint64_t k = 0; k < T; ++k) row[k] = row[k] / norm;
        }
    }

    return PolyphaseRows{aligned(rows), aligned(quantise(rows))};
}

// 0.5 * sinc(d / 2), windowed: the low-pass at a quarter of the higher rate.
// Every even distance other than the centre is a zero of the sinc and is set
// to exactly 0.0 rather than evaluated, so only the odd-distance taps are
// kept. The filter is normalised in double before rounding to float32.
HalfBandFilter design_half_band(const QualityPreset& preset) {
    const std::uint64_t N = preset.fixed_taps;
    const auto c = static_cast<std::int64_t>(preset.fixed_center);
    const std::vector<double> window = kaiser_window(N, preset.kaiser_beta);

    std::vector<double> h(N, 0.0);
    for (std::uint64_t n = 0; n < N; ++n) {
        const std::int64_t d = static_cast<std::int64_t>(n) - c;
        const auto dd = static_cast<double>(d);
        if (d == 0) {
            h[n] = 0.5;
        } else if (n % 2 == 1) {
            h[n] = window[n] * (std::sin(dd * half_pi) / (dd * pi));
        }
    }
    normalise_in_double(h);

    HalfBandFilter hb;
    std::vector<float> coeffs;
    // c is even, so the odd taps are exactly the odd distances.
    for (std::uint64_t n = 1; n < N; n += 2) {
        const std::int64_t d = static_cast<std::int64_t>(n) - c;
        hb.offsets.push_back(d);
        hb.input_offsets.push_back((c + 1 - static_cast<std::int64_t>(n)) >> 1);
        coeffs.push_back(static_cast<float>(h[n]));
    }
    std::vector<float> doubled(coeffs.size());
    std::transform(coeffs.begin(), coeffs.end(), doubled.begin(), [](float v) { return v + v; });

    hb.coeffs_f32 = aligned(coeffs);
    hb.coeffs_x2_f32 = aligned(doubled);
    hb.coeffs_q15 = aligned(quantise(coeffs));
    hb.coeffs_x2_q15 = aligned(quantise(doubled));
    hb.center = preset.fixed_center;
    hb.center_f32 = static_cast<float>(h[preset.fixed_center]);
    hb.center_q15 = to_q15(hb.center_f32);
    return hb;
}

// (1/3) * sinc(d / 3), windowed: the low-pass at a sixth of the higher rate.
// Distances that are non-zero multiples of three are zeros of the sinc, set
// to exactly 0.0 and not kept. Normalised in double before rounding.
ThirdBandFilter design_third_band(const QualityPreset& preset) {
    const std::uint64_t N = preset.fixed_taps;
    const auto c = static_cast<std::int64_t>(preset.fixed_center);
    const std::vector<double> window = kaiser_window(N, preset.kaiser_beta);

    std::vector<double> h(N, 0.0);
    for (std::uint64_t n = 0; n < N; ++n) {
        const std::int64_t d = static_cast<std::int64_t>(n) - c;
        if (d == 0) {
            h[n] = one_third;
        } else if (d % 3 != 0) {
            const double a = (static_cast<double>(d) * one_third) * pi;
            h[n] = ((std::sin(a) * one_third) / a) * window[n];
        }
    }
    normalise_in_double(h);

    ThirdBandFilter tb;
    std::vector<float> coeffs;
    for (std::uint64_t n = 0; n < N; ++n) {
        const std::int64_t d = static_cast<std::int64_t>(n) - c;
        if (d % 3 == 0) continue;
        tb.offsets.push_back(d);
        coeffs.push_back(static_cast<float>(h[n]));
    }

    tb.coeffs_f32 = aligned(coeffs);
    tb.coeffs_q15 = aligned(quantise(coeffs));
    tb.center = preset.fixed_center;
    tb.center_f32 = static_cast<float>(h[preset.fixed_center]);
    tb.center_q15 = to_q15(tb.center_f32);
    return tb;
}

}  // namespace

const QualityPreset& quality_preset(Quality q) {
    switch (q) {
        case Quality::Fast:
        case Quality::Balanced:
        case Quality::Best:
            return presets[static_cast<std::size_t>(q)];
        case Quality::Hq:
        case Quality::Vhq:
            break;  // designed by hq_design, never through the bank
    }
    unreachable("unknown quality preset");
}

double bessel_i0(double y) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k <= 24; ++k) {
        const double kd = static_cast<double>(k);
        term = term * (y / (kd * kd));
        sum = sum + term;
        if (term < sum * 1e-14) break;
    }
    return sum;
}

double kaiser_weight(std::uint64_t n, std::uint64_t N, double beta) {
    return kaiser_numerator(n, N, beta) / kaiser_denominator(beta);
}

std::int16_t to_q15(float v) {
    const float r = std::round(v * 32767.0f);
    // A NaN (which no design produces) becomes 0 instead of an undefined
    // conversion.
    if (std::isnan(r)) return 0;
    return static_cast<std::int16_t>(std::clamp(r, -32768.0f, 32767.0f));
}

double polyphase_cutoff(std::uint32_t input_rate, std::uint32_t output_rate) {
    if (output_rate < input_rate) {
        return 0.95 * (static_cast<double>(output_rate) / static_cast<double>(input_rate));
    }
    return 0.95;
}

FilterBank FilterBank::create(std::uint32_t input_rate, std::uint32_t output_rate, Quality quality) {
    const QualityPreset& preset = quality_preset(quality);
    const bool half_band_pair =
        (input_rate == 8000 && output_rate == 16000) || (input_rate == 16000 && output_rate == 8000);
    const bool third_band_pair = input_rate == 24000 && output_rate == 8000;
    if (half_band_pair) return FilterBank{design_half_band(preset), preset.fixed_taps, preset.phases};
    if (third_band_pair) return FilterBank{design_third_band(preset), preset.fixed_taps, preset.phases};
    return FilterBank{design_polyphase(preset, polyphase_cutoff(input_rate, output_rate)), preset.taps_per_phase,
                      preset.phases};
}

namespace {

using DesignKey = std::tuple<std::uint32_t, std::uint32_t, Quality>;

SharedCache<DesignKey, FilterBank>& design_cache() {
    static SharedCache<DesignKey, FilterBank> cache;
    return cache;
}

}  // namespace

std::shared_ptr<const FilterBank> FilterBank::shared(std::uint32_t input_rate, std::uint32_t output_rate,
                                                     Quality quality) {
    return design_cache().get({input_rate, output_rate, quality},
                              [&] { return create(input_rate, output_rate, quality); });
}

std::size_t FilterBank::shared_designs() { return design_cache().live(); }

}  // namespace tenvira
