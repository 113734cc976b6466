// Filter design: every FIR coefficient an engine uses for one stream.
//
// An arbitrary rate pair gets a polyphase bank of Kaiser-windowed sinc rows;
// the exact pairs 8000 <-> 16000 get one sparse half-band filter and
// 24000 -> 8000 one sparse third-band filter instead. Everything is designed
// in double precision and stored twice, as float32 for the float engine and
// as Q15 int16 for the int16 engine. Design is a pure function of the rates
// and the quality.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "aligned/aligned_buffer.hpp"
#include "base/config.hpp"

namespace tenvira {

// Design constants of one quality.
struct QualityPreset {
    std::uint64_t taps_per_phase;  // length of a bank row (even)
    std::uint64_t phases;          // number of bank rows
    double kaiser_beta;
    std::uint64_t fixed_taps;      // length of the half-band and third-band filters, 2 * fixed_center + 1
    std::uint64_t fixed_center;    // centre tap index of those filters
};

const QualityPreset& quality_preset(Quality q);

// Modified Bessel function I0 by its power series. The argument is passed
// already squared and halved: y = (x/2)^2.
double bessel_i0(double y);

// Kaiser window value of tap n of an N-tap filter (0 <= n < N, N >= 2). The
// end taps are 1 / I0(beta), not zero.
double kaiser_weight(std::uint64_t n, std::uint64_t N, double beta);

// Coefficient quantiser: float32 v * 32767, rounded half away from zero and
// clamped to the int16 range. 1.0 maps to 32767 and -1.0 to -32767.
std::int16_t to_q15(float v);

// Cutoff of the polyphase bank as a fraction of the input Nyquist frequency:
// 0.95 of the lower of the two rates.
double polyphase_cutoff(std::uint32_t input_rate, std::uint32_t output_rate);

// Half-band filter of the 2:1 pairs, stored sparse: the centre tap and the
// odd-distance taps, which are the only ones not zero by construction.
struct HalfBandFilter {
    std::vector<std::int64_t> offsets;        // distance d of each kept tap from the centre, ascending, odd
    std::vector<std::int64_t> input_offsets;  // (1 - d) / 2: low-rate input offset of each tap when interpolating
    AlignedBuffer<float> coeffs_f32;
    AlignedBuffer<float> coeffs_x2_f32;  // each coefficient doubled, for the interpolator
    AlignedBuffer<std::int16_t> coeffs_q15;
    AlignedBuffer<std::int16_t> coeffs_x2_q15;  // to_q15 of coeffs_x2_f32, not twice coeffs_q15
    std::uint64_t center = 0;
    float center_f32 = 0.0f;
    std::int16_t center_q15 = 0;
};

// Third-band filter of the 3:1 pair, stored sparse: the centre tap and the
// taps whose distance from the centre is not a multiple of three.
struct ThirdBandFilter {
    std::vector<std::int64_t> offsets;  // distance d of each kept tap from the centre, ascending
    AlignedBuffer<float> coeffs_f32;
    AlignedBuffer<std::int16_t> coeffs_q15;
    std::uint64_t center = 0;
    float center_f32 = 0.0f;
    std::int16_t center_q15 = 0;
};

// The rows of a polyphase bank: phases × taps values, row-major, as float32
// and as Q15.
struct PolyphaseRows {
    AlignedBuffer<float> coeffs_f32;
    AlignedBuffer<std::int16_t> coeffs_q15;
};

// Every coefficient one stream uses, in exactly one of three forms: a
// polyphase bank, a half-band filter or a third-band filter. The form decides
// how the stream is rendered.
struct FilterBank {
    std::variant<PolyphaseRows, HalfBandFilter, ThirdBandFilter> form;
    // Row length on the polyphase path; the full fixed-filter length
    // (2 * center + 1) on the fixed-ratio pairs.
    std::uint64_t taps = 0;
    // The quality's row count, on every path.
    std::uint64_t phases = 0;

    // The form, or null when the bank has another one.
    const PolyphaseRows* polyphase() const noexcept { return std::get_if<PolyphaseRows>(&form); }
    const HalfBandFilter* half_band() const noexcept { return std::get_if<HalfBandFilter>(&form); }
    const ThirdBandFilter* third_band() const noexcept { return std::get_if<ThirdBandFilter>(&form); }

    // Chooses the design by exact equality of the rates: 8000 <-> 16000 gets
    // the half-band filter, 24000 -> 8000 the third-band filter, every other
    // pair (equal rates included) the polyphase bank.
    static FilterBank create(std::uint32_t input_rate, std::uint32_t output_rate, Quality quality);

    // The same design, shared: every stream of one rate pair and quality
    // reads one immutable bank, made on first demand and freed with its last
    // user. Thread-safe.
    static std::shared_ptr<const FilterBank> shared(std::uint32_t input_rate, std::uint32_t output_rate,
                                                    Quality quality);
    // Designs alive in the shared cache; for tests.
    static std::size_t shared_designs();
};

}  // namespace tenvira
