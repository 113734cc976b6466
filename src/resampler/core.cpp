#include "resampler/core.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "base/arith.hpp"
#include "base/memory.hpp"
#include "base/fault.hpp"

namespace tenvira {

namespace {

template <typename S>
struct SampleTraits;

template <>
struct SampleTraits<float> {
    using Coeff = float;
    using Acc = float;
    static const AlignedBuffer<float>& bank(const FilterBank& b) { return b.coeffs_f32; }
    static const AlignedBuffer<float>& coeffs(const HalfBandFilter& h) { return h.coeffs_f32; }
    static const AlignedBuffer<float>& coeffs_x2(const HalfBandFilter& h) { return h.coeffs_x2_f32; }
    static const AlignedBuffer<float>& coeffs(const ThirdBandFilter& t) { return t.coeffs_f32; }
    template <typename F>
    static float center(const F& f) { return f.center_f32; }
    // One term of a fixed-path sum: a float32 product, added in float32.
    static Acc product(float x, float c) { return x * c; }
    // Renders `count` frames of one channel straight into the interleaved
    // output (stride = channel count); `results` is not needed.
    static void dot_frames(const BackendRecord& k, const float* const* w, const float* const* c, std::size_t n,
                           std::size_t count, float* out, std::size_t stride, float*) {
        k.dot_f32_batch(w, c, n, count, out, stride);
    }
    static void dot_shared_frames(const BackendRecord& k, const float* const* w, std::size_t step, const float* row,
                                  std::size_t n, std::size_t count, float* out, std::size_t stride, float*) {
        k.dot_f32_shared(w, step, row, n, count, out, stride);
    }
    static float output(Acc acc) { return acc; }
    static float to_iir(float x) { return x; }
    static float from_iir(float y) { return y; }
};

template <>
struct SampleTraits<std::int16_t> {
    using Coeff = std::int16_t;
    using Acc = std::int64_t;
    static const AlignedBuffer<std::int16_t>& bank(const FilterBank& b) { return b.coeffs_q15; }
    static const AlignedBuffer<std::int16_t>& coeffs(const HalfBandFilter& h) { return h.coeffs_q15; }
    static const AlignedBuffer<std::int16_t>& coeffs_x2(const HalfBandFilter& h) { return h.coeffs_x2_q15; }
    static const AlignedBuffer<std::int16_t>& coeffs(const ThirdBandFilter& t) { return t.coeffs_q15; }
    template <typename F>
    static std::int16_t center(const F& f) { return f.center_q15; }
    // Exact 64-bit products and sums; rounding happens once, in q15_out.
    static Acc product(std::int16_t x, std::int16_t c) { return std::int64_t{x} * std::int64_t{c}; }
    static void dot_frames(const BackendRecord& k, const std::int16_t* const* w, const std::int16_t* const* c,
                           std::size_t n, std::size_t count, std::int16_t* out, std::size_t stride,
                           std::int64_t* results) {
        k.dot_i16_batch(w, c, n, count, results);
        for (std::size_t f = 0; f < count; ++f) out[f * stride] = q15_out(results[f]);
    }
    static void dot_shared_frames(const BackendRecord& k, const std::int16_t* const* w, std::size_t step,
                                  const std::int16_t* row, std::size_t n, std::size_t count, std::int16_t* out,
                                  std::size_t stride, std::int64_t* results) {
        k.dot_i16_shared(w, step, row, n, count, results);
        for (std::size_t f = 0; f < count; ++f) out[f * stride] = q15_out(results[f]);
    }
    static std::int16_t output(Acc acc) { return q15_out(acc); }
    static float to_iir(std::int16_t x) { return static_cast<float>(x); }
    static std::int16_t from_iir(float y) { return iir_to_i16(y); }
};

// ceil(frames × output_rate / input_rate), exact; saturates at 2^64 - 1.
std::uint64_t stream_total(std::int64_t frames_in, std::uint32_t input_rate, std::uint32_t output_rate) noexcept {
    const unsigned __int128 n = static_cast<unsigned __int128>(std::max<std::int64_t>(frames_in, 0)) * output_rate;
    const unsigned __int128 q = n / input_rate + (n % input_rate != 0 ? 1 : 0);
    return q > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                         : static_cast<std::uint64_t>(q);
}

// Reserves room for `extra` more samples, refusing sizes the machine cannot
// hold before anything is written.
template <typename S>
void reserve_more(std::vector<S>& out, std::uint64_t extra) {
    const std::uint64_t total = sat_add(out.size(), extra);
    if (total <= out.capacity()) return;
    check_allocation(sat_mul(total, sizeof(S)));
    if (total > out.max_size()) throw std::bad_alloc();
    out.reserve(static_cast<std::size_t>(total));
}

}  // namespace

std::int16_t q15_out(std::int64_t acc) noexcept {
    // (acc + 2^14) >> 15 without forming the sum: the quotient by 2^15 plus
    // bit 14 of the remainder. Equal wherever the sum fits, and the whole
    // accumulator range saturates instead of wrapping near the 64-bit limits.
    const std::int64_t r = (acc >> 15) + ((acc >> 14) & 1);
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(r, -32768, 32767));
}

std::int16_t iir_to_i16(float y) noexcept {
    const float r = std::roundf(y);
    if (std::isnan(r)) return 0;
    if (r <= -32768.0f) return -32768;
    if (r >= 32767.0f) return 32767;
    return static_cast<std::int16_t>(r);
}

template <typename S>
Core<S>::Core(const ResamplerConfig& config, FirBackend backend, FilterBank bank)
    : config_(config), filter_bank_(std::move(bank)), backend_(backend), kernels_(&backend_record(backend)) {}

template <typename S>
Result<Core<S>> Core<S>::create(const ResamplerConfig& config) {
    if (config.input_rate == 0 || config.output_rate == 0) return ResampleError::invalid_sample_rate();
    if (config.channels == 0) return ResampleError::invalid_channel_count();
    Result<FirBackend> backend = select_backend(config.backend);
    if (!backend) return backend.error();

    FilterBank bank = FilterBank::create(config.input_rate, config.output_rate, config.quality);
    const std::uint64_t taps = bank.taps;

    // Starting ring capacity; process grows the rings when a call brings more.
    const std::uint64_t base =
        config.max_input_frames_per_chunk ? sat_add(taps, *config.max_input_frames_per_chunk) : taps;
    const std::uint64_t capacity = std::max(sat_add(base, 8), sat_mul(4, taps));

    // Refuse what cannot be held before allocating any of it: one ring's byte
    // size beyond the signed range is a fault, the whole set beyond the
    // machine's memory is an allocation failure.
    const std::uint64_t ring_bytes = checked_byte_size(capacity, sizeof(S));
    check_allocation(sat_add(sat_mul(ring_bytes, config.channels), sat_mul(sizeof(RingBuffer<S>), config.channels)));

    Core core(config, backend.value(), std::move(bank));
    core.rings_.reserve(static_cast<std::size_t>(config.channels));
    for (std::uint64_t k = 0; k < config.channels; ++k) core.rings_.emplace_back(capacity);

    const std::uint32_t in = config.input_rate;
    const std::uint32_t out = config.output_rate;
    if (in == 24000) {
        core.path_ = out == 8000 ? RenderPath::ThirdBandDown : RenderPath::Polyphase;
    } else if (in == 16000 && out == 8000) {
        core.path_ = RenderPath::HalfBandDown;
        if (config.quality == Quality::Fast) core.iir_ = PolyphaseIir2x::down(config.channels);
    } else if (in == 8000 && out == 16000) {
        core.path_ = RenderPath::HalfBandUp;
        if (config.quality == Quality::Fast) core.iir_ = PolyphaseIir2x::up(config.channels);
    } else {
        core.path_ = RenderPath::Polyphase;
    }
    if (core.iir_) {
        core.iir_in_.assign(static_cast<std::size_t>(config.channels), 0.0f);
        core.iir_odd_.assign(static_cast<std::size_t>(config.channels), 0.0f);
        core.iir_out_.assign(static_cast<std::size_t>(2 * config.channels), 0.0f);
    }

    core.scratch_.assign(static_cast<std::size_t>(taps), S{});
    core.plan_w_.assign(block_frames, 0);
    core.rows_.assign(block_frames, nullptr);
    core.windows_.assign(block_frames, nullptr);
    core.results_.assign(block_frames, Acc{});
    core.sources_.assign(core.filter_bank_.taps, nullptr);
    core.prepare_fixed_taps();
    core.ratio_ = static_cast<double>(in) / static_cast<double>(out);
    return core;
}

template <typename S>
ProcessStats Core<S>::stats(std::uint64_t input_frames, std::size_t output_samples) const noexcept {
    return ProcessStats{input_frames, output_samples / config_.channels, backend_};
}

template <typename S>
std::uint64_t Core<S>::required_output_capacity(std::uint64_t frames) const noexcept {
    const std::uint64_t half = filter_bank_.taps / 2;
    auto t = static_cast<std::int64_t>(frames + half + 2);  // wraps like the machine
    if (t <= 0) t = 0;
    const std::uint64_t p = static_cast<std::uint64_t>(t) * config_.output_rate;  // wraps
    std::uint64_t q = p / config_.input_rate + (p % config_.input_rate != 0 ? 1 : 0);
    if (static_cast<std::int64_t>(q) <= 0) q = 0;
    return sat_mul(q, config_.channels);
}

template <typename S>
Result<ProcessOutput<S>> Core<S>::process(std::span<const S> input) {
    ProcessOutput<S> result;
    reserve_output(result.samples, input.size() / config_.channels);
    Result<ProcessStats> stats = process_append(input, result.samples);
    if (!stats) return stats.error();
    result.stats = stats.value();
    return result;
}

// At least as many frames as a process call of `frames` more input frames
// renders (one more where float64 rounding could add one).
template <typename S>
std::uint64_t Core<S>::frames_due_after(std::uint64_t frames) const noexcept {
    const std::int64_t in = frames_in_ + static_cast<std::int64_t>(std::min<std::uint64_t>(frames, 1ull << 62));
    if (iir_) {
        const auto pending = static_cast<std::uint64_t>(std::max<std::int64_t>(in - iir_cursor_, 0));
        const PolyphaseIir2x::Kind kind = iir_->kind();
        const bool up = kind == PolyphaseIir2x::Kind::Up || kind == PolyphaseIir2x::Kind::StereoUp;
        return up ? sat_mul(pending, 2) : pending / 2;
    }
    // Due: the frames whose read position lies below in - taps/2.
    const auto half = static_cast<std::int64_t>(filter_bank_.taps / 2);
    const double span = static_cast<double>(in - half) - position_;
    if (!(span > 0.0)) return 0;
    return sat_add(trunc_u64(std::ceil(span / ratio_)), 1);
}

template <typename S>
void Core<S>::reserve_output(std::vector<S>& out, std::uint64_t frames) const {
    // A sizing hint only: where it cannot be held (extreme ratios), the
    // renderer's own estimate of what is due decides.
    const std::uint64_t hint = required_output_capacity(frames);
    if (sat_mul(sat_add(out.size(), hint), sizeof(S)) > allocation_limit()) return;
    try {
        reserve_more(out, hint);
    } catch (const std::bad_alloc&) {
        // Under an address-space limit, say: the hint is not a requirement.
    }
}

template <typename S>
Result<ProcessStats> Core<S>::process_append(std::span<const S> input, std::vector<S>& out) {
    const std::uint64_t n = input.size();
    const std::uint64_t channels = config_.channels;
    const std::size_t before = out.size();
    if (finished_) return stats(0, 0);
    if (n % channels != 0) return ResampleError::misaligned_input(n, channels);
    const std::uint64_t frames = n / channels;

    // Room for all the output this call makes due is taken before the input
    // is: output that cannot be held refuses the call, and the stream stays
    // usable for smaller ones.
    reserve_more(out, sat_mul(frames_due_after(frames), channels));

    for (RingBuffer<S>& ring : rings_) ring.ensure_capacity(frames, filter_bank_.taps);
    if (frames > 0) {
        for (std::uint64_t k = 0; k < channels; ++k) rings_[k].append(input.data() + k, frames, channels);
    }
    frames_in_ += static_cast<std::int64_t>(frames);

    if (iir_) {
        render_iir_available(out, false);
    } else {
        render_available(out, false);
    }
    trim();
    return stats(frames, out.size() - before);
}

template <typename S>
void Core<S>::trim() {
    std::int64_t k = 0;
    if (iir_) {
        constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
        k = iir_cursor_ < lowest + 2 ? lowest : iir_cursor_ - 2;
    } else {
        k = trunc_i64(position_) - static_cast<std::int64_t>(filter_bank_.taps / 2) - 2;
    }
    k = std::max(k, rings_[0].start());
    for (RingBuffer<S>& ring : rings_) ring.discard_before(k);
}

template <typename S>
ProcessOutput<S> Core<S>::finish() {
    ProcessOutput<S> result;
    result.stats = finish_append(result.samples);
    return result;
}

template <typename S>
ProcessStats Core<S>::finish_append(std::vector<S>& out) {
    const std::size_t before = out.size();
    if (iir_) {
        render_iir_available(out, true);
    } else {
        render_available(out, true);
    }
    finished_ = true;
    return stats(0, out.size() - before);
}

template <typename S>
std::uint64_t Core<S>::pending_output_frames() const noexcept {
    if (iir_) {
        const PolyphaseIir2x::Kind kind = iir_->kind();
        const bool down = kind == PolyphaseIir2x::Kind::Down || kind == PolyphaseIir2x::Kind::StereoDown;
        return down && frames_in_ > iir_cursor_ ? 1 : 0;
    }
    const std::uint64_t end = stream_total(frames_in_, config_.input_rate, config_.output_rate);
    return end > static_cast<std::uint64_t>(frames_out_) ? end - static_cast<std::uint64_t>(frames_out_) : 0;
}

template <typename S>
void Core<S>::reset() {
    Result<Core> fresh = create(config_);
    if (fresh) *this = std::move(fresh.value());
}

// Output frames are rendered in blocks: the read positions of a block are
// planned first (the float64 position advancing by repeated addition, as
// always), then the input span the block reads is copied out of each
// channel's ring into one linear array, zeros included, and the block is
// computed from that array: the polyphase path as a batch of independent
// inner products, the fixed paths column by column across frames. Every
// output keeps the arithmetic of its own formula; only the memory access and
// the interleaving of independent outputs change.
template <typename S>
void Core<S>::render_available(std::vector<S>& out, bool at_end) {
    const auto half = static_cast<std::int64_t>(filter_bank_.taps / 2);
    const std::uint64_t channels = config_.channels;

    std::uint64_t end = 0;
    std::uint64_t estimate = 0;
    if (at_end) {
        end = stream_total(frames_in_, config_.input_rate, config_.output_rate);
        estimate = end > static_cast<std::uint64_t>(frames_out_) ? end - static_cast<std::uint64_t>(frames_out_) : 0;
    } else if (trunc_i64(position_) <= frames_in_ - half - 1) {
        estimate = trunc_u64((static_cast<double>(frames_in_ - half - 1) - position_) / ratio_) + 1;
    }
    reserve_more(out, sat_mul(estimate, channels));

    for (;;) {
        // Plan: the frames of this block and where each one reads.
        double position = position_;
        // Frames this block may hold: all that are due at the end of the
        // stream, else as many as the look-ahead condition allows.
        const std::size_t limit =
            at_end ? static_cast<std::size_t>(std::min<std::uint64_t>(
                         end > static_cast<std::uint64_t>(frames_out_) ? end - static_cast<std::uint64_t>(frames_out_) : 0,
                         block_frames))
                   : block_frames;
        // at_end false: render while w < bound.
        const std::int64_t bound = at_end ? std::numeric_limits<std::int64_t>::max() : frames_in_ - half;
        std::size_t n = 0;
        if (position + static_cast<double>(limit) * ratio_ < 4611686018427387904.0) {
            // Positions stay in [0, 2^62): the plain conversions are exact truncations.
            if (path_ == RenderPath::Polyphase) {
                n = plan_polyphase(position, limit, bound);
            } else {
                // The fixed ratios 0.5, 2 and 3 keep every position the exact
                // product frames_out × ratio, so the due frames follow from
                // integers, and the repeated sum equals the product.
                n = at_end ? limit : std::min<std::size_t>(limit, fixed_frames_due(bound));
                const std::int64_t last = frames_out_ + static_cast<std::int64_t>(n) - 1;
                plan_w_[0] = static_cast<std::int64_t>(static_cast<double>(frames_out_) * ratio_);
                if (n > 0) plan_w_[n - 1] = static_cast<std::int64_t>(static_cast<double>(last) * ratio_);
                position = static_cast<double>(frames_out_ + static_cast<std::int64_t>(n)) * ratio_;
            }
        } else {
            // The general conversions, for positions near the int64 limit.
            const auto phases = static_cast<double>(filter_bank_.phases);
            const auto& bank = SampleTraits<S>::bank(filter_bank_);
            for (; n < limit; ++n) {
                const std::int64_t w = trunc_i64(position);
                if (w >= bound) break;
                plan_w_[n] = w;
                const double frac = position - static_cast<double>(w);
                const std::uint64_t phase = std::min(trunc_u64(frac * phases), filter_bank_.phases - 1);
                if (path_ == RenderPath::Polyphase) {
                    if ((phase + 1) * filter_bank_.taps > bank.size()) unreachable("polyphase row lies outside the filter bank");
                    rows_[n] = bank.data() + phase * filter_bank_.taps;
                }
                position = ratio_ + position;
            }
        }
        const std::int64_t frames_out = frames_out_ + static_cast<std::int64_t>(n);
        if (n == 0) break;

        const std::size_t base = out.size();
        out.resize(base + n * channels);
        S* dst = out.data() + base;
        switch (path_) {
            case RenderPath::Polyphase: render_polyphase_block(dst, n); break;
            case RenderPath::HalfBandUp: render_half_band_up_block(dst, n); break;
            case RenderPath::HalfBandDown: render_fixed_down_block(dst, n, 2); break;
            case RenderPath::ThirdBandDown: render_fixed_down_block(dst, n, 3); break;
        }
        position_ = position;
        frames_out_ = frames_out;
        if (n < block_frames) break;
    }
}

// The read positions of up to `limit` polyphase frames from `position` on,
// and their rows; returns how many are due. Positions must stay below 2^62.
//
// Each position is the float64 sum of the previous one and the ratio. While
// a position p and its successors stay in one binade [2^(e-1), 2^e), every
// such sum rounds alike (unless the ratio's part below the binade's unit is
// exactly half a unit: a tie), so p advances by a constant d and the k-th
// successor is exactly p + k·d. Such runs are planned by the backend's
// vector code; the few steps across binades, ties and the very first
// positions go one addition at a time. Either way the positions are those
// of the chain of additions.
template <typename S>
std::size_t Core<S>::plan_polyphase(double& position, std::size_t limit, std::int64_t bound) {
    using T = SampleTraits<S>;
    // Locals, so that the stores below cannot be taken to alias the members.
    const double ratio = ratio_;
    const auto phases = static_cast<double>(filter_bank_.phases);
    const std::uint64_t last_phase = filter_bank_.phases - 1;
    const std::uint64_t taps = filter_bank_.taps;
    const auto& bank = T::bank(filter_bank_);
    if (bank.size() < filter_bank_.phases * taps) unreachable("polyphase row lies outside the filter bank");
    const auto* base = reinterpret_cast<const unsigned char*>(bank.data());
    const std::size_t row_bytes = taps * sizeof(Coeff);
    std::int64_t* const plan_w = plan_w_.data();
    const void** const row_of = reinterpret_cast<const void**>(rows_.data());
    const PlanFrames plan_run = kernels_->plan_frames;

    double p = position;
    std::size_t n = 0;
    while (n < limit) {
        const double next = ratio + p;
        std::size_t run = 1;
        double d = 0.0;
        if (p >= ratio && limit - n > 4) {
            int e = 0;
            std::frexp(p, &e);  // p in [2^(e-1), 2^e)
            const double top = std::ldexp(1.0, e);
            const double unit = std::ldexp(1.0, e - 53);
            d = next - p;  // exact: both are multiples of `unit` below `top`
            const double below = ratio - std::floor(ratio / unit) * unit;
            if (next < top && top <= 4503599627370496.0 && d > 0.0 && below != 0.5 * unit) {
                // The successors p + k·d, k <= run, all stay below `top`, the
                // position after the run included.
                const double room = std::floor((top - p) / d);
                run = room >= static_cast<double>(limit - n) ? limit - n : static_cast<std::size_t>(room);
                while (run > 1 && p + static_cast<double>(run) * d >= top) --run;
                if (run == 0) run = 1;
            }
        }
        if (run == 1) {
            if (plan_run(p, 0.0, 1, bound, phases, last_phase, base, row_bytes, plan_w + n, row_of + n) == 0) break;
            ++n;
            p = next;
            continue;
        }
        const std::size_t done = plan_run(p, d, run, bound, phases, last_phase, base, row_bytes, plan_w + n, row_of + n);
        n += done;
        p = p + static_cast<double>(done) * d;
        if (done < run) break;
    }
    position = p;
    return n;
}

// Frames i >= frames_out with trunc(i × ratio) < bound on the fixed paths.
template <typename S>
std::uint64_t Core<S>::fixed_frames_due(std::int64_t bound) const noexcept {
    if (bound <= 0) return 0;
    std::int64_t end = 0;  // one past the last frame due
    if (path_ == RenderPath::HalfBandUp) {
        end = 2 * bound;  // floor(i / 2) < bound
    } else {
        const std::int64_t step = path_ == RenderPath::HalfBandDown ? 2 : 3;
        end = (bound - 1) / step + 1;  // step · i < bound
    }
    return end > frames_out_ ? static_cast<std::uint64_t>(end - frames_out_) : 0;
}

template <typename S>
S* Core<S>::linear_input(std::size_t channel, std::int64_t lo, std::int64_t hi) {
    const auto length = static_cast<std::size_t>(hi - lo);
    if (linear_.size() < length) linear_.resize(length);
    rings_[channel].copy_range(lo, hi, linear_.data());
    return linear_.data();
}

template <typename S>
void Core<S>::render_polyphase_block(S* out, std::size_t n) {
    using T = SampleTraits<S>;
    const std::uint64_t taps = filter_bank_.taps;
    const std::uint64_t channels = config_.channels;
    const std::int64_t back = static_cast<std::int64_t>(taps / 2) - 1;  // window starts at w - back
    const std::int64_t lo = plan_w_[0] - back;
    const std::int64_t hi = plan_w_[n - 1] - back + static_cast<std::int64_t>(taps);

    // Windows that overlap or touch are read from one linear copy of the
    // block's input; far apart (strong decimation), each window is copied on
    // its own, so that the input between them is never touched. Every
    // channel goes through the same array in turn, so the window pointers
    // serve all of them.
    const auto span = static_cast<std::uint64_t>(hi - lo);
    const bool gather = span > n * taps;
    const std::size_t length = gather ? n * taps : static_cast<std::size_t>(span);
    if (linear_.size() < length) linear_.resize(length);
    for (std::size_t f = 0; f < n; ++f) {
        windows_[f] = gather ? linear_.data() + f * taps : linear_.data() + (plan_w_[f] - back - lo);
    }
    const std::size_t period = row_period(n);
    for (std::uint64_t k = 0; k < channels; ++k) {
        if (gather) {
            for (std::size_t f = 0; f < n; ++f) {
                const std::int64_t first = plan_w_[f] - back;
                rings_[k].copy_range(first, first + static_cast<std::int64_t>(taps), linear_.data() + f * taps);
            }
        } else {
            linear_input(k, lo, hi);
        }
        if (period == 0) {
            T::dot_frames(*kernels_, windows_.data(), rows_.data(), taps, n, out + k, channels, results_.data());
            continue;
        }
        // Frames r, r + period, r + 2·period, ... all use row r.
        for (std::size_t r = 0; r < period; ++r) {
            const std::size_t count = (n - r + period - 1) / period;
            T::dot_shared_frames(*kernels_, windows_.data() + r, period, rows_[r], taps, count,
                                 out + r * channels + k, period * channels, results_.data());
        }
    }
}

// Common ratios cycle through a few rows: 48000 -> 16000 always reads row 0,
// 16000 -> 24000 three rows in turn. When the block's rows repeat with a
// short period, the frames that share a row are computed together, so the
// row is read once for several products. Returns the period, or 0 when the
// rows do not repeat within max_shared_rows or there are too few frames
// for this to pay.
template <typename S>
std::size_t Core<S>::row_period(std::size_t n) {
    const Coeff* const* rows = rows_.data();
    // The period of the previous block is the likely one: try it first.
    const auto repeats = [&](std::size_t p) {
        if (p == 0 || 8 * p > n) return false;
        std::size_t f = p;
        while (f < n && rows[f] == rows[f - p]) ++f;
        return f == n;
    };
    if (repeats(last_period_)) return last_period_;
    for (std::size_t p = 1; p <= max_shared_rows; ++p) {
        if (p != last_period_ && repeats(p)) return last_period_ = p;
    }
    return 0;
}

namespace {

// dst[r][t] = x[step·t + r]: one pass over x per call, written so that the
// compiler can keep each phase's stores in vector registers.
template <typename S, int step>
void deinterleave(const S* __restrict x, std::size_t count, S* __restrict dst, std::size_t stride) {
    S* __restrict p0 = dst;
    S* __restrict p1 = dst + stride;
    S* __restrict p2 = dst + 2 * stride;
    for (std::size_t t = 0; t < count; ++t) {
        p0[t] = x[step * t];
        p1[t] = x[step * t + 1];
        if constexpr (step == 3) p2[t] = x[step * t + 2];
    }
}

}  // namespace

template <typename S>
void Core<S>::split_phases(const S* x, std::size_t stride, int step) {
    if (step == 2) {
        deinterleave<S, 2>(x, stride, phased_.data(), stride);
    } else {
        deinterleave<S, 3>(x, stride, phased_.data(), stride);
    }
}

// The decimating fixed paths. Frame i is centred on input frame m = step·i,
// so the block's input is split into its `step` phases first: phase r holds
// the frames step·q + r. Every tap of every frame then reads one phase at
// unit stride, and each tap is added across the whole block at once.
template <typename S>
void Core<S>::render_fixed_down_block(S* out, std::size_t n, int step) {
    using T = SampleTraits<S>;
    const std::uint64_t channels = config_.channels;
    const typename T::Coeff* coeffs = nullptr;
    typename T::Coeff center{};
    std::size_t count = 0;
    if (step == 2) {
        if (!filter_bank_.half_band) fault("half-band filter is only available for exact 8 kHz <-> 16 kHz ratios");
        coeffs = T::coeffs(*filter_bank_.half_band).data();
        count = T::coeffs(*filter_bank_.half_band).size();
        center = T::center(*filter_bank_.half_band);
    } else {
        if (!filter_bank_.third_band) fault("third-band filter is only available for exact 24 kHz -> 8 kHz ratios");
        coeffs = T::coeffs(*filter_bank_.third_band).data();
        count = T::coeffs(*filter_bank_.third_band).size();
        center = T::center(*filter_bank_.third_band);
    }
    if (tap_offsets_.size() < count) unreachable("fixed filter has fewer offsets than coefficients");

    const std::int64_t s = step;
    const auto reach = static_cast<std::int64_t>(filter_bank_.taps / 2);
    const std::int64_t pad = reach / s + 1;
    const auto stride = static_cast<std::size_t>(static_cast<std::int64_t>(n) + 2 * pad);
    const std::int64_t m0 = s * frames_out_;
    const std::int64_t lo = m0 - s * pad;  // phase r, index t holds input frame lo + s·t + r
    const std::int64_t hi = lo + s * static_cast<std::int64_t>(stride);
    if (phased_.size() < static_cast<std::size_t>(s) * stride) phased_.resize(static_cast<std::size_t>(s) * stride);

    // Tap j reads input m + d: phase (d mod s), shifted by floor(d / s).
    for (std::size_t j = 0; j < count; ++j) {
        const std::int64_t d = tap_offsets_[j];
        const std::int64_t shift = d >= 0 ? d / s : -((-d + s - 1) / s);
        const std::int64_t r = d - s * shift;
        sources_[j] = phased_.data() + static_cast<std::size_t>(r) * stride + static_cast<std::size_t>(pad + shift);
    }
    const S* centre = phased_.data() + pad;

    for (std::uint64_t k = 0; k < channels; ++k) {
        const S* x = linear_input(k, lo, hi);
        split_phases(x, stride, step);
        compute_columns(centre, center, coeffs, count, n);
        for (std::size_t f = 0; f < n; ++f) out[f * channels + k] = fixed_output(f);
    }
}

template <typename S>
void Core<S>::render_half_band_up_block(S* out, std::size_t n) {
    using T = SampleTraits<S>;
    if (!filter_bank_.half_band) fault("half-band filter is only available for exact 8 kHz <-> 16 kHz ratios");
    const HalfBandFilter& hb = *filter_bank_.half_band;
    const auto& c = T::coeffs_x2(hb);
    if (tap_offsets_.size() < c.size()) unreachable("half-band filter has fewer offsets than coefficients");
    const std::uint64_t channels = config_.channels;
    // Frame i copies input frame i/2 when i is even and interpolates around
    // it when i is odd.
    const std::int64_t i0 = frames_out_;
    const std::int64_t m0 = i0 / 2;
    const auto reach = static_cast<std::int64_t>(filter_bank_.taps / 2);
    const std::int64_t lo = m0 - reach;
    const std::int64_t hi = (i0 + static_cast<std::int64_t>(n) - 1) / 2 + reach + 1;
    // Odd frames of the block: the first one and how many.
    const std::size_t first_odd = static_cast<std::size_t>(i0 % 2 == 0 ? 1 : 0);
    const std::size_t odd_count = n > first_odd ? (n - first_odd + 1) / 2 : 0;
    const std::int64_t m_first_odd = (i0 + static_cast<std::int64_t>(first_odd)) / 2;

    const std::size_t first_even = 1 - first_odd;
    const std::size_t even_count = n > first_even ? (n - first_even + 1) / 2 : 0;
    const std::int64_t m_first_even = (i0 + static_cast<std::int64_t>(first_even)) / 2;
    for (std::uint64_t k = 0; k < channels; ++k) {
        const S* x = linear_input(k, lo, hi);
        // Even frames are input samples; odd frames start from zero and add
        // the doubled taps in order.
        const S* odd_in = x + (m_first_odd - lo);
        for (std::size_t j = 0; j < c.size(); ++j) sources_[j] = odd_in + tap_offsets_[j];
        compute_columns(nullptr, Coeff{}, c.data(), c.size(), odd_count);
        S* even_out = out + first_even * channels + k;
        const S* even_in = x + (m_first_even - lo);
        for (std::size_t q = 0; q < even_count; ++q) even_out[2 * q * channels] = even_in[q];
        S* odd_out = out + first_odd * channels + k;
        for (std::size_t q = 0; q < odd_count; ++q) odd_out[2 * q * channels] = fixed_output(q);
    }
}

template <typename S>
void Core<S>::prepare_fixed_taps() {
    // The input offset of each kept tap relative to the frame's centre
    // sample: subtracted on the half-band down path, added on the
    // third-band path, the interpolation offsets on the half-band up path.
    std::int64_t sum = 0;  // the centre tap's magnitude opens the first group
    const std::int16_t* q15 = nullptr;
    std::size_t count = 0;
    if (path_ == RenderPath::HalfBandDown && filter_bank_.half_band) {
        const HalfBandFilter& hb = *filter_bank_.half_band;
        for (std::int64_t d : hb.offsets) tap_offsets_.push_back(-d);
        sum = std::abs(std::int64_t{hb.center_q15});
        q15 = hb.coeffs_q15.data();
        count = hb.coeffs_q15.size();
    } else if (path_ == RenderPath::HalfBandUp && filter_bank_.half_band) {
        tap_offsets_ = filter_bank_.half_band->input_offsets;
        q15 = filter_bank_.half_band->coeffs_x2_q15.data();
        count = filter_bank_.half_band->coeffs_x2_q15.size();
    } else if (path_ == RenderPath::ThirdBandDown && filter_bank_.third_band) {
        const ThirdBandFilter& tb = *filter_bank_.third_band;
        tap_offsets_ = tb.offsets;
        sum = std::abs(std::int64_t{tb.center_q15});
        q15 = tb.coeffs_q15.data();
        count = tb.coeffs_q15.size();
    }
    // Groups of consecutive int16 taps whose sums cannot leave 32 bits:
    // samples are at most 32768 in magnitude, so the coefficient magnitudes
    // of a group may add up to 65535.
    for (std::size_t j = 0; j < count; ++j) {
        const std::int64_t c = std::abs(std::int64_t{q15[j]});
        if (sum + c > 65535) {
            group_ends_.push_back(j);
            sum = 0;
        }
        sum += c;
    }
    group_ends_.push_back(count);
}

template <typename S>
void Core<S>::compute_columns(const S* centre, Coeff c0, const Coeff* coeffs, std::size_t count, std::size_t n) {
    if constexpr (std::is_same_v<S, float>) {
        kernels_->columns_f32(results_.data(), centre, c0, sources_.data(), coeffs, count, n);
    } else {
        if (group_ends_.empty() || group_ends_.back() != count) unreachable("fixed filter taps are not grouped");
        kernels_->columns_i16(results_.data(), centre, c0, sources_.data(), coeffs, group_ends_.data(),
                              group_ends_.size(), n);
    }
}

template <typename S>
S Core<S>::fixed_output(std::size_t f) const noexcept {
    if constexpr (std::is_same_v<S, float>) {
        return results_[f];
    } else {
        return q15_out(results_[f]);
    }
}

// The pending input of the IIR paths as float frames (frame-major), read
// from the rings in bulk.
template <typename S>
const float* Core<S>::stage_iir_input(std::int64_t from, std::int64_t to) {
    using T = SampleTraits<S>;
    const std::uint64_t channels = config_.channels;
    const auto frames = static_cast<std::size_t>(to - from);
    if (iir_stage_.size() < frames * channels) iir_stage_.resize(frames * channels);
    for (std::uint64_t k = 0; k < channels; ++k) {
        const S* x = linear_input(k, from, to);
        float* dst = iir_stage_.data() + k;
        for (std::size_t f = 0; f < frames; ++f) dst[f * channels] = T::to_iir(x[f]);
    }
    return iir_stage_.data();
}

template <typename S>
void Core<S>::render_iir_available(std::vector<S>& out, bool at_end) {
    using T = SampleTraits<S>;
    const std::uint64_t channels = config_.channels;
    if (!iir_) {
        fault(path_ == RenderPath::HalfBandUp ? "IIR upsampling path requires initialized IIR state"
                                              : "IIR downsampling path requires initialized IIR state");
    }
    PolyphaseIir2x& iir = *iir_;
    const PolyphaseIir2x::Kind kind = iir.kind();
    if (kind == PolyphaseIir2x::Kind::Down || kind == PolyphaseIir2x::Kind::StereoDown) {
        const std::int64_t pending = frames_in_ - iir_cursor_;
        const std::uint64_t extra = static_cast<std::uint64_t>(pending / 2) + (at_end && pending > 0 ? 1 : 0);
        reserve_more(out, sat_mul(extra, channels));
        // Pairs (even, odd) counted from frame 0 of the stream: the cursor
        // always stands on an even frame here.
        const auto pairs = static_cast<std::size_t>(pending / 2);
        if (pairs > 0) {
            const float* x = stage_iir_input(iir_cursor_, iir_cursor_ + 2 * static_cast<std::int64_t>(pairs));
            const std::size_t base = out.size();
            out.resize(base + pairs * channels);
            S* dst = out.data() + base;
            for (std::size_t q = 0; q < pairs; ++q) {
                const float* even = x + 2 * q * channels;
                if constexpr (std::is_same_v<S, float>) {
                    iir.downsample_pair(even, even + channels, dst + q * channels);
                } else {
                    iir.downsample_pair(even, even + channels, iir_out_.data());
                    for (std::uint64_t k = 0; k < channels; ++k) dst[q * channels + k] = T::from_iir(iir_out_[k]);
                }
            }
            iir_cursor_ += 2 * static_cast<std::int64_t>(pairs);
            frames_out_ += static_cast<std::int64_t>(pairs);
        }
        if (at_end && iir_cursor_ < frames_in_) {
            render_iir_down_pair(out, iir_cursor_, -1);
            iir_cursor_ += 1;
            frames_out_ += 1;
        }
        return;
    }

    const auto pending = static_cast<std::size_t>(std::max<std::int64_t>(frames_in_ - iir_cursor_, 0));
    reserve_more(out, sat_mul(sat_mul(pending, channels), 2));
    if (pending == 0) return;
    const float* x = stage_iir_input(iir_cursor_, frames_in_);
    const std::size_t base = out.size();
    out.resize(base + 2 * pending * channels);
    S* dst = out.data() + base;
    if (kind == PolyphaseIir2x::Kind::Up && channels > 1) {
        // One filter per channel: each channel's pair goes to scratch, then
        // every channel's first value forms the first output frame and every
        // second value the next.
        scratch_.resize(static_cast<std::size_t>(2 * channels), S{});
        for (std::size_t f = 0; f < pending; ++f) {
            for (std::uint64_t k = 0; k < channels; ++k) {
                const auto [a, b] = iir.upsample_channel(k, x[f * channels + k]);
                scratch_[2 * k] = T::from_iir(a);
                scratch_[2 * k + 1] = T::from_iir(b);
            }
            S* frame_out = dst + 2 * f * channels;
            for (std::uint64_t k = 0; k < channels; ++k) frame_out[k] = scratch_[2 * k];
            for (std::uint64_t k = 0; k < channels; ++k) frame_out[channels + k] = scratch_[2 * k + 1];
        }
    } else {
        for (std::size_t f = 0; f < pending; ++f) {
            if constexpr (std::is_same_v<S, float>) {
                iir.upsample_frame(x + f * channels, dst + 2 * f * channels);
            } else {
                iir.upsample_frame(x + f * channels, iir_out_.data());
                for (std::uint64_t k = 0; k < 2 * channels; ++k) dst[2 * f * channels + k] = T::from_iir(iir_out_[k]);
            }
        }
    }
    iir_cursor_ += static_cast<std::int64_t>(pending);
    frames_out_ += 2 * static_cast<std::int64_t>(pending);
}

template <typename S>
void Core<S>::render_iir_down_pair(std::vector<S>& out, std::int64_t even, std::int64_t odd) {
    using T = SampleTraits<S>;
    if (!iir_) fault("IIR downsampling path requires initialized IIR state");
    const std::uint64_t channels = config_.channels;
    for (std::uint64_t k = 0; k < channels; ++k) {
        iir_in_[k] = T::to_iir(rings_[k].get(even));
        iir_odd_[k] = odd >= 0 ? T::to_iir(rings_[k].get(odd)) : 0.0f;
    }
    iir_->downsample_pair(iir_in_.data(), odd >= 0 ? iir_odd_.data() : nullptr, iir_out_.data());
    for (std::uint64_t k = 0; k < channels; ++k) out.push_back(T::from_iir(iir_out_[k]));
}

template class Core<float>;
template class Core<std::int16_t>;

}  // namespace tenvira
