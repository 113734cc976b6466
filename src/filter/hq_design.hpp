// Filter design of the studio-quality presets "hq" and "vhq".
//
// A conversion is a short chain: zero or more half-band 2:1 decimators
// (while the rate stays above 2.1 times the output rate, and for int16
// streams while their exact sums have room), then one polyphase stage that steps its read position exactly, by
// the reduced ratio P/Q of stage-input frames per output frame. The
// polyphase stage's low-pass is a Kaiser-windowed sinc whose stop band
// starts at the lower of the two Nyquist frequencies and whose length grows
// with the decimation ratio. Its rows are the continuous prototype sampled
// at the exact fractional positions j/Q when Q is small; otherwise at j/256
// with cubic (4-row Lagrange) interpolation between them. The window moves
// with the fraction, so every row is the same filter, shifted.
//
// A design is immutable once built and may be shared by any number of
// streams of the same rates, preset and sample kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "aligned/aligned_buffer.hpp"
#include "filter/hq_fft.hpp"

namespace tenvira {

enum class HqPreset : std::uint8_t { Hq = 0, Vhq = 1 };

// What the arithmetic of a stream is: float32 samples and coefficients
// (hq), float64 coefficients and sums for float32 samples (vhq), or int16
// samples (both presets) with 32-bit integer coefficients and exact integer
// sums in the direct form (computed in float64, where they are exact) and
// float64 overlap-save blocks where those are cheaper. F64Split is what a
// float64 design becomes when its only stage reads the stream's own float32
// frames in the direct form: float64 sums, float64 coefficients at the rows'
// centres and float32 ones in their tails (HqPolyphase::rows_centre); it is
// never asked for.
enum class HqArithmetic : std::uint8_t { F32 = 0, F64 = 1, I16 = 2, F64Split = 3 };

// Design constants of a preset.
struct HqPresetConstants {
    double attenuation_db;  // stop-band attenuation the window is chosen for
    double beta;            // Kaiser beta: 0.1102 (attenuation - 8.7)
    double half_width;      // half the window length, in frames of the lower rate
    double cutoff;          // -6 dB point, as a fraction of the lower Nyquist frequency
    // Hold-back allowed to an overlap-save stage: this many frames of the
    // lower rate, or with half-band stages before it this multiple of the
    // direct form's hold-back.
    double block_hold_lower;
    double block_hold_factor;
};

const HqPresetConstants& hq_preset_constants(HqPreset preset);

// One 2:1 decimator: y[j] = x[2j] / 2 + sum_k taps[k] (x[2j - 2k - 1] + x[2j + 2k + 1]).
// For int16 streams taps_f64 holds round(taps[k] 2^30) as exact float64
// integers summing to exactly 2^28, and the centre tap is 2^29.
struct HqHalfBand {
    std::uint64_t reach = 0;  // largest offset read on either side: 2 * taps.size() - 1
    AlignedBuffer<float> taps_f32;
    AlignedBuffer<double> taps_f64;
    std::uint64_t count() const noexcept { return reach == 0 ? 0 : (reach + 1) / 2; }
};

// The polyphase stage. Output frame i sits at stage-input time t_i = i P / Q;
// with n = floor(t_i) its row covers frames n - taps + ahead + 1 .. n + ahead.
struct HqPolyphase {
    std::uint64_t step_num = 1;  // P
    std::uint64_t step_den = 1;  // Q
    std::uint64_t taps = 0;      // row length, a multiple of 16 (leading zeros pad it)
    std::uint64_t ahead = 0;     // newest tap, relative to floor(t_i)
    // 0: one row per phase j / Q. Otherwise the rows sample the prototype at
    // (r - 1) / table for r = 0 .. table + 2, and phase u in [0, 1) is
    // interpolated from rows floor(u table) .. floor(u table) + 3.
    std::uint64_t table = 0;
    std::uint64_t rows = 0;
    // Rows held: all, or with exact rows and Q >= 3 rows 0 .. Q / 2 only, as
    // row Q - r is row r reversed about tap 1/2: its tap c is row r's tap
    // taps - 1 + lead - c (zero for c < lead, lead = taps - 2 ahead).
    std::uint64_t stored = 0;
    bool mirrored() const noexcept { return stored != 0 && stored < rows; }
    // Exact rows are held with `pad` zeros before each and pad + lead after
    // (interpolated tables: none), so that a row can be read from up to `pad`
    // taps early, forward or (mirrored) backward: frames whose windows lie a
    // few frames apart then share their window loads (hq_rows.hpp). Row r's
    // first tap is at r * stride() + pad.
    std::uint64_t pad = 0;
    std::uint64_t stride() const noexcept { return pad == 0 ? taps : taps + 2 * pad + lead(); }
    // Leading zero taps of a row (taps rounded up from 2 ahead).
    std::uint64_t lead() const noexcept { return taps - 2 * ahead; }
    AlignedBuffer<float> rows_f32;  // F32, F64Split
    // F64Split: taps [centre_begin, centre_end) of a row, as the kernels
    // count them (a row read from `shift` taps early has its tap c at
    // c + shift), in float64. Row r holds the padded row's elements
    // [centre_first, centre_first + centre_stride) (element pad + c is tap
    // c), which cover those taps for every shift up to `pad`, forward or
    // backward; their float32 copies in rows_f32 go unread.
    AlignedBuffer<double> rows_centre;
    std::uint64_t centre_begin = 0, centre_end = 0, centre_first = 0, centre_stride = 0;
    AlignedBuffer<double> rows_f64;  // F64
    // I16: round(h 2^30), each row summing to exactly 2^30.
    AlignedBuffer<std::int32_t> rows_i32;
    // Streams of small P and Q, where it is cheaper, run the stage as
    // overlap-save blocks instead (hq_fft.hpp; float64 ones for vhq and for
    // int16 streams): blocks[0] in mono streams,
    // blocks[1] in streams of two or more channels (whose transforms can
    // share the lanes of a vector); null: the direct form. The rows above
    // stay empty when neither takes the direct form. Block k starts at
    // input frame k stride() + ahead - taps + 1.
    std::shared_ptr<const HqOverlapSave> blocks[2];
    const HqOverlapSave* blocks_for(std::uint64_t channels) const noexcept {
        return blocks[channels > 1 ? 1 : 0].get();
    }
};

// What a row's values need (hq_design.cpp, PrototypeRows::row): per tap c,
// the window's nodes node[o][c] and their weights, sin and cos of 2 pi fc
// t_c and pi t_c; the sine, cosine and pi times the row's phase.
struct HqRowTerms {
    const double* node[4];
    double weight[4];
    const double* sines;
    const double* cosines;
    const double* angles;
    double sin_phase, cos_phase, pi_phase;
};

// The design's inner loops for one instruction set (hq_design_loops.inc).
// Every build gives the same bits, so designs are shared whichever built
// them.
struct HqDesignLoops {
    void (*window_series)(const double* coeffs, std::size_t terms, double* u, std::size_t n, double divisor) noexcept;
    void (*row_values)(const HqRowTerms& terms, std::uint64_t taps, double* out) noexcept;
    double (*row_scale)(double* out, std::uint64_t taps, bool scaled) noexcept;
    double (*quantise_row)(const double* row, double scale, std::uint64_t taps, std::int64_t target,
                           std::int32_t* q) noexcept;
};

// The baseline build of those loops.
const HqDesignLoops& hq_design_loops_baseline() noexcept;

class HqDesign {
public:
    // Rows per input frame of the interpolated tables, and the largest Q that
    // gets one exact row per phase.
    static constexpr std::uint64_t interpolation_rows = 256;

    // int16 streams carry their frames between stages as integers in units
    // of 2^-int16_guard_bits of an int16 step: each half-band stage rounds
    // its exact sum to that grid, which adds noise some 24 dB below the
    // final rounding to int16.
    static constexpr int int16_guard_bits = 4;

    // The design of one rate pair, preset and arithmetic, shared by every
    // stream that uses it while any does. Throws std::bad_alloc when the
    // tables cannot be held (extreme ratios).
    // `loops` builds it (the same bits whichever).
    static std::shared_ptr<const HqDesign> create(std::uint32_t input_rate, std::uint32_t output_rate,
                                                  HqPreset preset, HqArithmetic arithmetic,
                                                  const HqDesignLoops& loops = hq_design_loops_baseline());
    // A new design, not shared.
    static HqDesign build(std::uint32_t input_rate, std::uint32_t output_rate, HqPreset preset,
                          HqArithmetic arithmetic, const HqDesignLoops& loops = hq_design_loops_baseline());
    // Designs alive in the shared cache; for tests.
    static std::size_t shared_designs();

    std::uint32_t input_rate() const noexcept { return input_rate_; }
    std::uint32_t output_rate() const noexcept { return output_rate_; }
    HqPreset preset() const noexcept { return preset_; }
    HqArithmetic arithmetic() const noexcept { return arithmetic_; }
    const std::vector<HqHalfBand>& half_bands() const noexcept { return half_bands_; }
    const HqPolyphase& polyphase() const noexcept { return polyphase_; }

    // Input frames beyond output frame i's exact time i * in / out that must
    // have arrived before the frame is due, at most (attained at i = 0), in
    // a stream of `channels` channels.
    std::uint64_t hold_back(std::uint64_t channels) const noexcept;

    // Output frames that `frames` input frames make due (without the end of
    // the stream) in a stream of `channels` channels, exactly; saturates
    // instead of overflowing.
    std::uint64_t frames_due(std::uint64_t frames, std::uint64_t channels) const noexcept;

    // Output frames that the polyphase stage can compute from its first
    // `available` input frames (without the end of the stream).
    std::uint64_t polyphase_due(std::uint64_t available, std::uint64_t channels) const noexcept;

    // Multiply-adds per output frame and channel (half-band work included),
    // for the benchmark's FMA bound.
    double multiply_adds_per_output() const noexcept;

private:
    // Input frames that must have arrived before output 0 is due when the
    // polyphase stage's output 0 reads its input frame `newest`.
    std::uint64_t hold_of(std::uint64_t newest) const noexcept;

    std::uint32_t input_rate_ = 0;
    std::uint32_t output_rate_ = 0;
    HqPreset preset_ = HqPreset::Hq;
    HqArithmetic arithmetic_ = HqArithmetic::F32;
    std::vector<HqHalfBand> half_bands_;
    HqPolyphase polyphase_;
};

}  // namespace tenvira
