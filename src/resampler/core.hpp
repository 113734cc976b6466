// The stream engine: one per resampler, for float32 (`CoreF32`) or int16
// (`CoreI16`) samples.
//
// An engine owns its filters, the per-channel input history and the stream
// counters. `process` appends a chunk of interleaved input and renders every
// output frame whose input window is complete; `finish` renders the rest with
// silence for the missing future input. Both sample types share this one
// template; `SampleTraits` holds what differs (coefficient arrays,
// accumulator, output rule).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "backend/fir_backend.hpp"
#include "base/result.hpp"
#include "filter/filter_bank.hpp"
#include "iir/polyphase_iir2x.hpp"
#include "base/config.hpp"
#include "ring/ring_buffer.hpp"

namespace tenvira {

enum class RenderPath : std::uint8_t { Polyphase = 0, HalfBandUp = 1, HalfBandDown = 2, ThirdBandDown = 3 };

// What one call did.
struct ProcessStats {
    std::uint64_t input_frames = 0;
    std::uint64_t output_frames = 0;
    FirBackend backend = FirBackend::Scalar;

    const char* backend_name() const noexcept { return tenvira::backend_name(backend); }
};

template <typename S>
struct ProcessOutput {
    std::vector<S> samples;  // interleaved, whole frames
    ProcessStats stats;
};

// Rounds a Q15-scaled accumulator to int16: (acc + 2^14) >> 15, clamped.
std::int16_t q15_out(std::int64_t acc) noexcept;
// The int16 result of the IIR paths: roundf, then clamped.
std::int16_t iir_to_i16(float y) noexcept;

template <typename S>
class Core {
public:
    static Result<Core> create(const ResamplerConfig& config);

    Core(Core&&) noexcept = default;
    Core& operator=(Core&&) noexcept = default;

    // Appends one chunk of interleaved samples and returns what it renders.
    // `MisalignedInput` leaves the engine unchanged. After `finish` the input
    // is ignored, unvalidated, until `reset`.
    Result<ProcessOutput<S>> process(std::span<const S> input);

    // The same, appending the output to `out`. Frames are committed to the
    // stream block by block as they are appended, so if growing `out`
    // fails, what was rendered stays in `out` and the rest of the input is
    // rendered by the next call: nothing is lost or rendered twice.
    Result<ProcessStats> process_append(std::span<const S> input, std::vector<S>& out);

    // Renders the end of the stream with zeros for the missing input.
    ProcessOutput<S> finish();
    ProcessStats finish_append(std::vector<S>& out);

    // Reserves room in `out` for what a process call of `frames` frames may
    // render, where that much memory exists at all.
    void reserve_output(std::vector<S>& out, std::uint64_t frames) const;

    // At least as many frames as a process call of `frames` more input
    // frames renders.
    std::uint64_t frames_due_after(std::uint64_t frames) const noexcept;

    // Frames that finish() would render now.
    std::uint64_t pending_output_frames() const noexcept;

    // Rebuilds the engine from its configuration: a fresh stream.
    void reset();

    // Output samples (all channels) that one `process` call of `frames`
    // frames may need; depends on the configuration only.
    std::uint64_t required_output_capacity(std::uint64_t frames) const noexcept;

    // Rendering steps, called by `process` and `finish`.
    void render_available(std::vector<S>& out, bool at_end);
    void render_iir_available(std::vector<S>& out, bool at_end);
    void render_iir_down_pair(std::vector<S>& out, std::int64_t even, std::int64_t odd);

    const ResamplerConfig& config() const noexcept { return config_; }
    const FilterBank& filter_bank() const noexcept { return filter_bank_; }
    const std::optional<PolyphaseIir2x>& iir() const noexcept { return iir_; }
    const std::vector<RingBuffer<S>>& rings() const noexcept { return rings_; }
    RenderPath path() const noexcept { return path_; }
    FirBackend backend() const noexcept { return backend_; }
    std::uint64_t channels() const noexcept { return config_.channels; }
    std::int64_t frames_in() const noexcept { return frames_in_; }
    std::int64_t frames_out() const noexcept { return frames_out_; }
    double position() const noexcept { return position_; }
    double ratio() const noexcept { return ratio_; }
    std::int64_t iir_cursor() const noexcept { return iir_cursor_; }
    bool finished() const noexcept { return finished_; }

private:
    Core(const ResamplerConfig& config, FirBackend backend, FilterBank bank);

    // Inner-product result: float32 sums, or exact 64-bit sums of Q15 terms.
    using Acc = std::conditional_t<std::is_same_v<S, float>, float, std::int64_t>;
    using Coeff = S;

    // Frames rendered per block; bounds the planning and linear arrays.
    static constexpr std::size_t block_frames = 256;
    // Longest period of a block's rows for its frames to be grouped by row.
    static constexpr std::size_t max_shared_rows = 8;

    ProcessStats stats(std::uint64_t input_frames, std::size_t output_samples) const noexcept;

    void trim();
    // Copies input frames [lo, hi) of one channel into linear_ and returns it.
    S* linear_input(std::size_t channel, std::int64_t lo, std::int64_t hi);
    std::size_t plan_polyphase(double& position, std::size_t limit, std::int64_t bound);
    std::uint64_t fixed_frames_due(std::int64_t bound) const noexcept;
    void render_polyphase_block(S* out, std::size_t n);
    std::size_t row_period(std::size_t n);
    void render_half_band_up_block(S* out, std::size_t n);
    void render_fixed_down_block(S* out, std::size_t n, int step);
    void split_phases(const S* x, std::size_t stride, int step);
    void prepare_fixed_taps();
    void compute_columns(const S* centre, Coeff c0, const Coeff* coeffs, std::size_t count, std::size_t n);
    S fixed_output(std::size_t f) const noexcept;
    const float* stage_iir_input(std::int64_t from, std::int64_t to);

    ResamplerConfig config_;
    std::optional<PolyphaseIir2x> iir_;
    FilterBank filter_bank_;
    std::vector<RingBuffer<S>> rings_;
    std::vector<S> scratch_;
    std::int64_t frames_in_ = 0;
    double position_ = 0.0;
    std::int64_t frames_out_ = 0;
    double ratio_ = 1.0;
    std::int64_t iir_cursor_ = 0;
    bool finished_ = false;
    RenderPath path_ = RenderPath::Polyphase;
    FirBackend backend_ = FirBackend::Scalar;
    const BackendRecord* kernels_ = nullptr;
    // Block rendering: planned read positions (w = trunc(position)) and the
    // rows they select, the linear copy of one channel's input, and per-frame sums.
    std::vector<std::int64_t> plan_w_;
    std::vector<const Coeff*> rows_;
    std::vector<const S*> windows_;
    std::vector<Acc> results_;
    // The period of the rows of the last block grouped by row.
    std::size_t last_period_ = 0;
    std::vector<S> linear_;
    // Fixed paths: input offset of each kept tap from the frame's centre
    // sample, and the int16 taps in groups whose partial sums fit 32 bits.
    std::vector<std::int64_t> tap_offsets_;
    std::vector<std::size_t> group_ends_;
    // The decimating paths' input split into phases, and where each tap reads.
    std::vector<S> phased_;
    std::vector<const S*> sources_;
    // Float frames handed to and taken from the IIR converter.
    std::vector<float> iir_stage_;
    std::vector<float> iir_in_;
    std::vector<float> iir_odd_;
    std::vector<float> iir_out_;
};

using CoreF32 = Core<float>;
using CoreI16 = Core<std::int16_t>;

extern template class Core<float>;
extern template class Core<std::int16_t>;

}  // namespace tenvira
