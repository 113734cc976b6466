#include "filter/hq_design.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <span>
#include <tuple>

#include "base/memory.hpp"
#include "base/shared_cache.hpp"
#include "filter/filter_bank.hpp"
#include "base/fault.hpp"

namespace tenvira {

namespace {

constexpr double pi = 3.141592653589793;

// hq: flat within 0.01 dB to 0.90 of the lower Nyquist frequency, -3 dB at
// 0.950, 133 dB down from 1.0 on. vhq: within 0.001 dB to 0.93, -3 dB at
// 0.960, 151.5 dB down from 1.0 on. For a window half-width, Kaiser's beta
// is the one whose stop band, at the lowest cut-off that keeps the -3 dB
// point, is deepest (tools/hq_prototype.py finds it). vhq's half-width is
// the shortest whole number of 8-frame vectors that reaches 150 dB; hq's
// keeps the 3:2 stage of 48000 -> 16000 and 24000 -> 8000 at 304 taps.
// The hold-back of an overlap-save stage stays within half of what soxr
// holds back at HQ and VHQ on every pair of docs/quality.md (its 3:1 pairs,
// which run through a half-band stage here, bound the factor at hq).
constexpr HqPresetConstants presets[] = {
    {133.75, 13.78051, 101.3, 0.95662, 420.0, 2.5},
    {152.0, 15.79166, 144.0, 0.96503, 440.0, 3.5},
};

// Estimated time per tap of the direct form per output frame, ns, on the
// reference machine (AVX2 row kernels): float32 and float64 sums. float64
// measured 0.045 to 0.047 once the kernels' accumulators stayed in
// registers (int16 8000 -> 16000 mono, vhq 44100 -> 48000), where 0.059
// had made int16 mono streams at hq take slower blocks.
constexpr double direct_tap_cost_f32 = 0.033;
constexpr double direct_tap_cost_f64 = 0.045;

// Kaiser window of half-length `half` at distance t from its centre.
double kaiser(double t, double half, double beta) {
    const double x = t / half;
    if (!(std::fabs(x) < 1.0)) return 0.0;
    const double a = 0.5 * beta * std::sqrt(1.0 - x * x);
    const double b = 0.5 * beta;
    return bessel_i0(a * a) / bessel_i0(b * b);
}

// The ideal low-pass of cut-off fc (cycles per frame) at time t (frames).
double ideal_lowpass(double t, double fc) {
    const double x = 2.0 * pi * fc * t;
    return std::fabs(x) < 1e-12 ? 2.0 * fc : std::sin(x) / (pi * t);
}

#include "filter/hq_design_loops.inc"

constexpr HqDesignLoops baseline_loops = {window_series, row_values, row_scale, quantise_row};

// Number of taps a Kaiser design needs for `attenuation` dB over a transition
// of `width` radians per frame.
double kaiser_length(double attenuation, double width) { return (attenuation - 7.95) / (2.285 * width) + 1.0; }

template <typename T>
AlignedBuffer<T> aligned(std::span<const T> values) {
    return AlignedBuffer<T>(values);
}

// Half-band decimator from rate 2r to r for an output rate `out` = rho r:
// pass band up to out / 2, stop band from r - out / 2, whose aliases land at
// or above the output Nyquist frequency.
HqHalfBand design_half_band(const HqPresetConstants& constants, double rho, HqArithmetic arithmetic) {
    // Kaiser's length estimate runs a few dB short at these attenuations;
    // the margin costs a few taps of a cheap stage.
    const double attenuation = constants.attenuation_db + 6.0;
    const double width = pi * (1.0 - rho);
    const double length = kaiser_length(attenuation, width);
    auto reach = static_cast<std::uint64_t>(std::ceil((length - 1.0) / 2.0));
    if (reach % 2 == 0) reach += 1;
    const double beta = 0.1102 * (attenuation - 8.7);
    std::vector<double> taps((reach + 1) / 2);
    double sum = 0.0;
    for (std::size_t k = 0; k < taps.size(); ++k) {
        const auto d = static_cast<double>(2 * k + 1);
        taps[k] = ideal_lowpass(d, 0.25) * kaiser(d, static_cast<double>(reach + 1), beta);
        sum += taps[k];
    }
    // Unit gain at DC: the centre is 1/2 and the odd taps sum to 1/4 per side.
    for (double& v : taps) v *= 0.25 / sum;
    HqHalfBand stage;
    stage.reach = reach;
    if (arithmetic == HqArithmetic::I16) {
        // Each side's taps sum to 1/4: exactly 2^28 in units of 2^-30.
        std::vector<std::int32_t> q30(taps.size());
        quantise_row(taps.data(), 1.0, taps.size(), std::int64_t{1} << 28, q30.data());
        stage.taps_f64 = aligned<double>(std::vector<double>(q30.begin(), q30.end()));
    } else if (arithmetic == HqArithmetic::F64) {
        stage.taps_f64 = aligned<double>(taps);
    } else {
        stage.taps_f32 = aligned<float>(std::vector<float>(taps.begin(), taps.end()));
    }
    return stage;
}

std::uint64_t round_up(std::uint64_t n, std::uint64_t m) { return (n + m - 1) / m * m; }

// The prototype h(t) = ideal_lowpass(t) * kaiser(t) at the taps of every
// row, evaluated a row at a time so that the loops vectorise. The sine comes
// by angle addition from values per tap and per row. The window is smooth
// enough (an entire function of t, varying on the scale of the whole filter)
// that cubic Lagrange interpolation from its values on a grid of eighths of
// a frame is exact to 3e-11 of its peak at hq and 1e-11 at vhq, far below
// what either preset's stop band would notice: the Bessel series
// I0(beta sqrt(u)), u = 1 - (t / half)^2, is summed only at the grid's
// nodes (Horner in u, continued past the window's ends so that nodes there
// stay smooth), not at every tap of every row. Designs of Q <= 8 exact rows
// take a grid of Q nodes per frame instead, on which every tap is a node.
class PrototypeRows {
public:
    static constexpr int points = 4;  // nodes -1 .. 2 around a position

    // `grid`: nodes per frame, 1 to 8.
    PrototypeRows(std::uint64_t taps, std::uint64_t ahead, double fc, double half, double beta, std::int64_t grid,
                  const HqDesignLoops& loops)
        : loops_(loops), taps_(taps), fc_(fc), half_(half), first_(static_cast<std::int64_t>(ahead) - static_cast<std::int64_t>(taps) + 1),
          grid_(grid) {
        const double y = 0.25 * beta * beta;  // (beta / 2)^2
        // I0(beta sqrt(u)) = sum_k (y u)^k / (k!)^2; terms until the rest is
        // below 1e-16 of the window's peak I0(beta) (a series of positive
        // terms that shrink faster than geometrically).
        std::vector<double> coeffs{1.0};
        double term = 1.0, sum = 1.0;
        for (int k = 1; k < 60 && term > sum * 1e-16; ++k) {
            term *= y / (static_cast<double>(k) * static_cast<double>(k));
            sum += term;
            coeffs.push_back(term);
        }
        // Sub-grid s holds the nodes n * grid + s for n = first - 2 ..
        // first + taps + 2: a row's phase lies in [-1/256, 1 + 1/256] (the
        // interpolated tables' end rows reach past 0 and 1), so a tap's
        // nodes lie at most two frames before it and two after.
        span_ = taps + 5;
        nodes_.resize(static_cast<std::size_t>(grid * static_cast<std::int64_t>(span_)));
        // The window is even: node j holds the value at distance |j|,
        // evaluated once per distance (independent chains, so the loop
        // vectorises).
        const std::int64_t low = (first_ - 2) * grid;
        const std::int64_t high = (first_ + static_cast<std::int64_t>(span_) - 2) * grid;
        const auto distances = static_cast<std::size_t>(std::max(-low, high) + 1);
        std::vector<double> by_distance(distances);
        const double node_step = 1.0 / (static_cast<double>(grid) * half);
        for (std::size_t d = 0; d < distances; ++d) {
            const double x = static_cast<double>(d) * node_step;
            by_distance[d] = 1.0 - x * x;
        }
        loops.window_series(coeffs.data(), coeffs.size(), by_distance.data(), distances, sum);
        for (std::int64_t s = 0; s < grid; ++s) {
            for (std::uint64_t n = 0; n < span_; ++n) {
                const std::int64_t j = (first_ - 2 + static_cast<std::int64_t>(n)) * grid + s;
                nodes_[static_cast<std::size_t>(s) * span_ + n] = by_distance[static_cast<std::size_t>(j < 0 ? -j : j)];
            }
        }
        pi_times_.resize(taps);
        sin_.resize(taps);
        cos_.resize(taps);
        // Exact at every 32nd tap, rotated by one tap's angle in between.
        const double step_sin = std::sin(2.0 * pi * fc), step_cos = std::cos(2.0 * pi * fc);
        for (std::uint64_t c = 0; c < taps; ++c) {
            const double t = static_cast<double>(first_) + static_cast<double>(c);
            pi_times_[c] = pi * t;
            if (c % 32 == 0) {
                sin_[c] = std::sin(2.0 * pi * fc * t);
                cos_[c] = std::cos(2.0 * pi * fc * t);
            } else {
                sin_[c] = sin_[c - 1] * step_cos + cos_[c - 1] * step_sin;
                cos_[c] = cos_[c - 1] * step_cos - sin_[c - 1] * step_sin;
            }
        }
    }

    // h(m - phase) for the taps m = ahead - taps + 1 .. ahead, scaled to
    // unit sum, or with `scaled` false left for the caller to scale by the
    // factor returned.
    double row(double phase, double* out, bool scaled = true) const {
        const double sp = std::sin(2.0 * pi * fc_ * phase);
        const double cp = std::cos(2.0 * pi * fc_ * phase);
        // Tap c sits at grid position (first + c) grid + e + f, 0 <= f < 1.
        const std::int64_t grid = grid_;
        const double position = -phase * static_cast<double>(grid);
        const double floor_position = std::floor(position);
        const auto e = static_cast<std::int64_t>(floor_position);
        const double f = position - floor_position;
        const double* node[points];
        double weight[points];
        for (int o = 0; o < points; ++o) {
            const std::int64_t k = e + o - 1;
            const std::int64_t shift = k >= 0 ? k / grid : -((-k + grid - 1) / grid);
            const std::int64_t s = k - shift * grid;
            node[o] = nodes_.data() + static_cast<std::size_t>(s) * span_ + static_cast<std::size_t>(shift + 2);
            weight[o] = 1.0;
            for (int m = 0; m < points; ++m) {
                if (m != o) weight[o] *= (f - static_cast<double>(m - 1)) / static_cast<double>(o - m);
            }
        }
        loops_.row_values({{node[0], node[1], node[2], node[3]},
                           {weight[0], weight[1], weight[2], weight[3]},
                           sin_.data(),
                           cos_.data(),
                           pi_times_.data(),
                           sp,
                           cp,
                           pi * phase},
                          taps_, out);
        // The taps outside the window, |t| >= half, which lie at the row's
        // ends, and the centre tap, where a row has one (whole phases).
        const double base = static_cast<double>(first_) - phase;
        for (std::uint64_t c = 0; c < taps_ && !(std::fabs(base + static_cast<double>(c)) < half_); ++c) out[c] = 0.0;
        for (std::uint64_t c = taps_; c-- > 0 && !(std::fabs(base + static_cast<double>(c)) < half_);) out[c] = 0.0;
        const double centre = std::round(phase - static_cast<double>(first_));
        if (centre >= 0.0 && centre < static_cast<double>(taps_) && std::fabs(base + centre) < 1e-9) {
            const auto c = static_cast<std::size_t>(centre);
            out[c] = 2.0 * fc_ * (weight[0] * node[0][c] + weight[1] * node[1][c] + weight[2] * node[2][c] +
                                  weight[3] * node[3][c]);
        }
        return loops_.row_scale(out, taps_, scaled);
    }

private:
    const HqDesignLoops& loops_;
    std::uint64_t taps_;
    double fc_, half_;
    std::int64_t first_;
    std::int64_t grid_;
    std::uint64_t span_ = 0;
    std::vector<double> nodes_, pi_times_, sin_, cos_;  // per tap: pi m, sin and cos of 2 pi fc m
};

// Row `mirror` holds the phase 1 - phase of row `r`: the same values in the
// opposite order about tap 1/2, h(m - (1 - p)) = h((1 - m) - p).
void mirror_row(const double* row, std::uint64_t taps, std::uint64_t ahead, double* mirror) {
    const std::uint64_t lead = taps - 2 * ahead;  // leading zeros
    for (std::uint64_t c = 0; c < lead; ++c) mirror[c] = 0.0;
    for (std::uint64_t c = lead; c < taps; ++c) mirror[c] = row[taps - 1 + lead - c];
}

// The stored rows of `stage` in T, each with its padding (HqPolyphase):
// write(r, to) writes row r's taps from `to` on.
template <typename T, typename Write>
AlignedBuffer<T> padded(const HqPolyphase& stage, Write&& write) {
    const auto pad = static_cast<std::size_t>(stage.pad), stride = static_cast<std::size_t>(stage.stride());
    return AlignedBuffer<T>(static_cast<std::size_t>(stage.stored) * stride, [&](T* out) {
        for (std::size_t r = 0; r < stage.stored; ++r) write(r, out + r * stride + pad);
    });
}

// The same, the rows converted from their float64 values.
template <typename T>
AlignedBuffer<T> padded(std::span<const double> rows, const HqPolyphase& stage) {
    const auto taps = static_cast<std::size_t>(stage.taps);
    return padded<T>(stage, [&](std::size_t r, T* to) {
        const double* row = rows.data() + r * taps;
        for (std::size_t c = 0; c < taps; ++c) to[c] = static_cast<T>(row[c]);
    });
}

// Whether overlap-save blocks are considered for `stage` (exact rows, small
// P and Q); they need every row, the direct form only the stored ones.
bool may_run_blocks(const HqPolyphase& stage) {
    return stage.table == 0 && stage.step_den <= 4 && stage.step_num <= 8;
}

// The overlap-save blocks of a stage with exact rows, for mono streams and
// for streams of two or more channels, where they beat the direct form
// within `newest_limit`; one object where both choose the same. int16
// streams take float64 blocks, as vhq's float streams do: a lane computes
// the same operations in the same order on every backend, so their sums,
// and so the rounded samples, are the same everywhere (their direct form's
// exact integer sums cost as much as vhq's float64 ones).
void choose_blocks(HqPolyphase& stage, std::span<const double> rows, HqArithmetic arithmetic,
                   std::uint64_t newest_limit) {
    const std::uint64_t p = stage.step_num, q = stage.step_den;
    if (!may_run_blocks(stage)) return;
    const bool wide = arithmetic != HqArithmetic::F32;
    const double direct = static_cast<double>(stage.taps) * (wide ? direct_tap_cost_f64 : direct_tap_cost_f32);
    HqOverlapSave::Shape shape[2];
    for (std::uint64_t slot = 0; slot < 2; ++slot) {
        shape[slot] = HqOverlapSave::cheapest(stage.taps, stage.ahead, p, q, wide, slot + 1, direct, newest_limit);
        if (shape[slot].size == 0) continue;
        if (slot == 1 && shape[1].size == shape[0].size && shape[1].split == shape[0].split) {
            stage.blocks[1] = stage.blocks[0];
        } else {
            stage.blocks[slot] = std::make_shared<const HqOverlapSave>(rows.data(), stage.taps, p, q, shape[slot].split,
                                                                       shape[slot].size, wide);
        }
    }
}

// `int16_bound`: the largest magnitude of the stage's input frames (int16
// streams), in units of their grid.
// Taps on each side of a split row's peak held in float64: the float32
// rounding of the rest (coefficients, products and their sums) then errs
// some 175 dB below full scale, against the 150 dB of the float32 output.
constexpr std::uint64_t split_reach = 24;

// The float64 centres of a split design's rows (HqPolyphase::rows_centre),
// from the rows' float64 values.
void split_rows(HqPolyphase& stage, std::span<const double> rows) {
    const std::uint64_t taps = stage.taps, pad = stage.pad, lead = stage.lead();
    // A row's peak lies between taps taps - ahead - 1 and taps - ahead; a
    // frame's row is read up to ceil(P / Q) taps early.
    const std::uint64_t peak = taps - stage.ahead, early = (stage.step_num + stage.step_den - 1) / stage.step_den;
    stage.centre_begin = peak > split_reach + 1 ? (peak - split_reach - 1) / 8 * 8 : 0;
    stage.centre_end = std::min(round_up(peak + early + split_reach, 8), taps / 8 * 8);
    // Forward, element pad - shift + t; backward, pad + taps - 1 + lead +
    // shift - t; shift in [0, pad], t in [begin, end).
    stage.centre_first = std::min(stage.centre_begin, pad + taps + lead - stage.centre_end);
    const std::uint64_t last = std::max(stage.centre_end + pad, 2 * pad + taps + lead - stage.centre_begin);
    stage.centre_stride = last - stage.centre_first;
    const auto stride = static_cast<std::size_t>(stage.centre_stride), first = static_cast<std::size_t>(stage.centre_first);
    stage.rows_centre = AlignedBuffer<double>(static_cast<std::size_t>(stage.stored) * stride, [&](double* out) {
        for (std::size_t r = 0; r < stage.stored; ++r) {
            const double* row = rows.data() + r * taps;
            for (std::size_t e = 0; e < stride; ++e) {
                // Element first + e is tap first + e - pad: zero outside the row.
                const auto c = static_cast<std::int64_t>(first + e) - static_cast<std::int64_t>(pad);
                out[r * stride + e] = c >= 0 && c < static_cast<std::int64_t>(taps) ? row[c] : 0.0;
            }
        }
    });
    stage.rows_f32 = padded<float>(rows, stage);
}

// `split`: a float64 design may split its rows (a stage that reads the
// stream's float32 frames); it does where the direct form runs.
HqPolyphase design_polyphase(const HqPresetConstants& constants, std::uint64_t p, std::uint64_t q,
                             HqArithmetic arithmetic, std::uint64_t newest_limit, double int16_bound, bool split,
                             const HqDesignLoops& loops) {
    HqPolyphase stage;
    stage.step_num = p;
    stage.step_den = q;
    // Bandwidth as a fraction of the stage input's Nyquist frequency.
    const double b = std::min(1.0, static_cast<double>(q) / static_cast<double>(p));
    const double half = constants.half_width / b;
    const double fc = 0.5 * constants.cutoff * b;
    stage.table = q <= HqDesign::interpolation_rows ? 0 : HqDesign::interpolation_rows;
    const double slack = stage.table == 0 ? 0.0 : 1.0 / static_cast<double>(stage.table);
    const double ahead = std::ceil(half + slack);
    if (!(ahead < 1e15)) throw std::bad_alloc();
    stage.ahead = static_cast<std::uint64_t>(ahead);
    stage.taps = round_up(2 * stage.ahead, 16);
    stage.rows = stage.table == 0 ? q : stage.table + 3;

    const std::uint64_t stored = stage.table == 0 && q >= 3 ? q / 2 + 1 : stage.rows;
    const std::uint64_t evaluated = may_run_blocks(stage) ? stage.rows : stored;
    const std::uint64_t width = arithmetic == HqArithmetic::F64 ? sizeof(double) : sizeof(float);
    const std::uint64_t count = evaluated > std::numeric_limits<std::uint64_t>::max() / stage.taps
                                    ? std::numeric_limits<std::uint64_t>::max()
                                    : evaluated * stage.taps;
    // The double rows and the stored copy exist at once while designing.
    check_allocation(checked_byte_size(count, sizeof(double) + width));

    // Every value is written below: no zero fill.
    const std::unique_ptr<double[]> row_values(new double[static_cast<std::size_t>(count)]);
    const std::span<double> rows(row_values.get(), static_cast<std::size_t>(count));
    const PrototypeRows prototype(stage.taps, stage.ahead, fc, half, constants.beta,
                                  stage.table == 0 ? static_cast<std::int64_t>(std::min<std::uint64_t>(q, 8)) : 8, loops);
    // Exact rows: phase r / Q mirrors (Q - r) / Q. Table rows: phase
    // (r - 1) / R mirrors row R + 2 - r. Half of them are evaluated.
    const std::uint64_t pairs_with = stage.table == 0 ? q : stage.table + 2;
    // int16 rows that only the direct form can use (the blocks take the
    // float64 rows) are scaled to unit sum as they are rounded, not in a
    // pass of their own.
    const bool scale_later = arithmetic == HqArithmetic::I16 && !may_run_blocks(stage);
    std::vector<double> scales(scale_later ? static_cast<std::size_t>(evaluated) : 0);
    for (std::uint64_t r = 0; r < evaluated; ++r) {
        double* row = rows.data() + r * stage.taps;
        const std::uint64_t mirror = r == 0 && stage.table == 0 ? 0 : pairs_with - r;
        if (mirror < r) {
            mirror_row(rows.data() + mirror * stage.taps, stage.taps, stage.ahead, row);
            if (scale_later) scales[r] = scales[mirror];
            continue;
        }
        const double phase = stage.table == 0 ? static_cast<double>(r) / static_cast<double>(q)
                                              : (static_cast<double>(r) - 1.0) / static_cast<double>(stage.table);
        const double scale = prototype.row(phase, row, !scale_later);
        if (scale_later) scales[r] = scale;
    }
    choose_blocks(stage, rows, arithmetic, newest_limit);
    if (stage.blocks[0] && stage.blocks[1]) return stage;
    stage.stored = stored;
    // Exact rows are padded (HqPolyphase::pad): a mirrored row read backward
    // reaches `lead` taps past its end, and consecutive frames' windows lie
    // floor(P / Q) or ceil(P / Q) frames apart, which eight taps (a whole
    // number of vectors) cover on every pair the half-band stages leave.
    if (stage.table == 0) stage.pad = 8;
    switch (arithmetic) {
        case HqArithmetic::F32:
            stage.rows_f32 = padded<float>(rows, stage);
            break;
        case HqArithmetic::F64:
            if (split && stage.table == 0 && !stage.blocks[0] && !stage.blocks[1]) {
                split_rows(stage, rows);
            } else {
                stage.rows_f64 = padded<double>(rows, stage);
            }
            break;
        case HqArithmetic::F64Split:
            fault("a split design is never asked for");
        case HqArithmetic::I16: {
            // The 32-bit integers, which the kernels convert to float64
            // (exactly) as they load them: a frame (at most int16_bound)
            // times one of them stays far below 2^53, and so does a whole
            // row's sum while int16_bound times the coefficients' magnitudes
            // does (a low-pass's sum of magnitudes is a few times 2^30), so
            // float64 arithmetic gives the exact integer sum in any order.
            // They are rounded straight into the padded rows.
            const auto taps = static_cast<std::size_t>(stage.taps);
            stage.rows_i32 = padded<std::int32_t>(stage, [&](std::size_t r, std::int32_t* to) {
                const double magnitude =
                    loops.quantise_row(rows.data() + r * taps, scale_later ? scales[r] : 1.0, taps, std::int64_t{1} << 30, to);
                if (!(magnitude * int16_bound < 0x1p53)) fault("studio int16 row too large for exact sums");
            });
            break;
        }
    }
    return stage;
}

}  // namespace

const HqDesignLoops& hq_design_loops_baseline() noexcept { return baseline_loops; }

const HqPresetConstants& hq_preset_constants(HqPreset preset) {
    switch (preset) {
        case HqPreset::Hq:
        case HqPreset::Vhq:
            return presets[static_cast<std::size_t>(preset)];
    }
    unreachable("unknown studio preset");
}

namespace {

using DesignKey = std::tuple<std::uint32_t, std::uint32_t, HqPreset, HqArithmetic>;

SharedCache<DesignKey, HqDesign>& design_cache() {
    static SharedCache<DesignKey, HqDesign> cache;
    return cache;
}

}  // namespace

std::shared_ptr<const HqDesign> HqDesign::create(std::uint32_t input_rate, std::uint32_t output_rate,
                                                 HqPreset preset, HqArithmetic arithmetic, const HqDesignLoops& loops) {
    return design_cache().get({input_rate, output_rate, preset, arithmetic},
                              [&] { return build(input_rate, output_rate, preset, arithmetic, loops); });
}

std::size_t HqDesign::shared_designs() { return design_cache().live(); }

HqDesign HqDesign::build(std::uint32_t input_rate, std::uint32_t output_rate, HqPreset preset,
                         HqArithmetic arithmetic, const HqDesignLoops& loops) {
    if (input_rate == 0 || output_rate == 0) fault("studio design needs two positive rates");
    const HqPresetConstants& constants = hq_preset_constants(preset);
    HqDesign result;
    HqDesign* design = &result;
    design->input_rate_ = input_rate;
    design->output_rate_ = output_rate;
    design->preset_ = preset;
    design->arithmetic_ = arithmetic;

    // Halve the rate while it stays at least 2.1 times the output rate: each
    // half-band stage is cheap, and the sharp stage then runs at the lowest
    // rate that still leaves it a clean transition.
    std::uint64_t halvings = 0;
    {
        using u128 = unsigned __int128;
        while (halvings < 40 && u128{10} * input_rate >= u128{21} * output_rate * (u128{1} << halvings)) {
            ++halvings;
        }
    }
    // int16 streams: the largest magnitude of a stage's frames, in units of
    // the guard grid. A stage's exact sum must stay below 2^53, and the
    // polyphase rows need room too: halving stops before the frames could
    // pass 2^21 (rows then sum to exactly 2^53 at a magnitude of 2^32).
    double int16_bound = std::ldexp(32768.0, int16_guard_bits);
    for (std::uint64_t k = 0; k < halvings; ++k) {
        // Output rate relative to this stage's output rate in / 2^(k+1).
        const double rho = std::ldexp(static_cast<double>(output_rate) / static_cast<double>(input_rate),
                                      static_cast<int>(k + 1));
        HqHalfBand stage = design_half_band(constants, rho, arithmetic);
        if (arithmetic == HqArithmetic::I16) {
            double magnitude = 0x1p29;  // the centre tap
            for (std::size_t t = 0; t < stage.count(); ++t) magnitude += 2.0 * std::fabs(stage.taps_f64[t]);
            const double next = std::ceil(int16_bound * magnitude / 0x1p30) + 1.0;
            if (!(next < 0x1p21)) {
                halvings = k;
                break;
            }
            int16_bound = next;
        }
        design->half_bands_.push_back(std::move(stage));
    }

    // Stage-input frames per output frame: in / (2^halvings out), reduced.
    std::uint64_t p = input_rate;
    std::uint64_t q = std::uint64_t{output_rate};
    std::uint64_t g = std::gcd(p, q);
    p /= g;
    q /= g;
    for (std::uint64_t k = 0; k < halvings; ++k) {
        if (p % 2 == 0) {
            p /= 2;
        } else {
            q *= 2;
        }
    }
    // The overlap-save blocks' budget, as the newest stage-input frame that
    // output 0 may read.
    double limit = constants.block_hold_lower * static_cast<double>(input_rate) /
                   static_cast<double>(std::min(input_rate, output_rate));
    if (!design->half_bands_.empty()) {
        const double direct_ahead = std::ceil(constants.half_width / std::min(1.0, static_cast<double>(q) / p));
        limit = constants.block_hold_factor * static_cast<double>(design->hold_of(static_cast<std::uint64_t>(direct_ahead)));
    }
    std::uint64_t newest_limit = limit >= 1e15 ? std::uint64_t{1} << 50 : static_cast<std::uint64_t>(limit);
    newest_limit = newest_limit > 0 ? newest_limit - 1 : 0;
    for (const HqHalfBand& h : design->half_bands_) newest_limit = newest_limit > h.reach ? (newest_limit - h.reach) / 2 : 0;
    design->polyphase_ =
        design_polyphase(constants, p, q, arithmetic, newest_limit, int16_bound, design->half_bands_.empty(), loops);
    if (!design->polyphase_.rows_centre.empty()) design->arithmetic_ = HqArithmetic::F64Split;

    return result;
}

}  // namespace tenvira
