// The stream engine: one per resampler, for float32 (`CoreF32`) or int16
// (`CoreI16`) samples.
//
// An engine owns the per-channel input history and the stream counters, and
// shares its immutable filter design. `process` appends a chunk of
// interleaved input and renders every output frame whose input window is
// complete; `finish` renders the rest with silence for the missing future
// input. The skeleton (append, render, trim, finish, reset) is the same for
// every rate pair; how frames are rendered is the job of one path, chosen
// once from the form of the filter design: polyphase, fixed half-band or
// third-band, or the IIR converter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "backend/fir_backend.hpp"
#include "base/config.hpp"
#include "base/result.hpp"
#include "filter/filter_bank.hpp"
#include "iir/polyphase_iir2x.hpp"
#include "resampler/fixed_path.hpp"
#include "resampler/hq_path.hpp"
#include "resampler/iir_path.hpp"
#include "resampler/output_sink.hpp"
#include "resampler/polyphase_path.hpp"
#include "resampler/sample_traits.hpp"
#include "resampler/stream_state.hpp"

namespace tenvira {

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

// The state of a stream between calls, from which a call can be undone: the
// counters, the retained input (at most a filter length per channel) and any
// recursive filter state. Reusable: saving into it again reuses its storage.
template <typename S>
struct Checkpoint {
    std::int64_t frames_in = 0;
    std::int64_t frames_out = 0;
    double position = 0.0;
    std::int64_t iir_cursor = 0;
    bool finished = false;
    std::int64_t history_start = 0;
    std::uint64_t history_frames = 0;
    std::vector<S> history;  // channel after channel
    std::vector<float> iir;  // the IIR converter's filter state
    std::optional<HqStream<S>> studio;  // the studio path's own stream
};

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

    // The same, appending the output to `out`. Room for everything the call
    // makes due is reserved before the input is taken. A call that fails
    // (std::bad_alloc, an internal fault) changes nothing: the stream and
    // `out` are as they were, and the call can be repeated.
    Result<ProcessStats> process_append(std::span<const S> input, std::vector<S>& out);
    // The same, writing the output to the start of `out`, which must have
    // room for it: required_output_capacity(frames) samples always do.
    Result<ProcessStats> process_into(std::span<const S> input, std::span<S> out);

    // Renders the end of the stream with zeros for the missing input; the
    // same guarantee.
    ProcessOutput<S> finish();
    ProcessStats finish_append(std::vector<S>& out);
    // Into `out`, which must have room for pending_output_frames() frames.
    ProcessStats finish_into(std::span<S> out);

    // Keeps the stream's state in `c`; restore(c) then undoes every call
    // made since (a caller that cannot deliver a call's output undoes it).
    // Saving may allocate on first use and then throws std::bad_alloc.
    void save(Checkpoint<S>& c) const;
    void restore(const Checkpoint<S>& c) noexcept;

    // The output budget: at least as many frames as rendering would produce
    // after `frames` more input frames, at the end of the stream or not.
    std::uint64_t frames_due_after(std::uint64_t frames, bool at_end = false) const noexcept;

    // Frames that finish() would render now.
    std::uint64_t pending_output_frames() const noexcept { return frames_due_after(0, true); }

    // Rebuilds the engine from its configuration: a fresh stream.
    void reset();

    // Output samples (all channels) that one `process` call of `frames`
    // frames may need; depends on the configuration only.
    std::uint64_t required_output_capacity(std::uint64_t frames) const noexcept;

    const ResamplerConfig& config() const noexcept { return config_; }
    const FilterBank& filter_bank() const noexcept { return *bank_; }
    // The IIR converter, or null on the FIR paths.
    const PolyphaseIir2x* iir() const noexcept;
    const std::vector<RingBuffer<S>>& rings() const noexcept { return s_.rings; }
    RenderPath path() const noexcept;
    FirBackend backend() const noexcept { return backend_; }
    std::uint64_t channels() const noexcept { return config_.channels; }
    std::int64_t frames_in() const noexcept { return s_.frames_in; }
    std::int64_t frames_out() const noexcept { return s_.frames_out; }
    double position() const noexcept { return s_.position; }
    double ratio() const noexcept { return s_.ratio; }
    std::int64_t iir_cursor() const noexcept { return s_.iir_cursor; }
    bool finished() const noexcept { return finished_; }

private:
    using Path = std::variant<PolyphasePath<S>, HalfBandUpPath<S>, FixedDownPath<S>, IirPath<S>, HqPath<S>>;

    Core(const ResamplerConfig& config, FirBackend backend, std::shared_ptr<const FilterBank> bank,
         StreamState<S> state, Path path);

    ProcessStats stats(std::uint64_t input_frames, std::size_t output_samples) const noexcept;
    Result<ProcessStats> process_to(std::span<const S> input, OutputSink<S>& out);
    ProcessStats finish_to(OutputSink<S>& out);
    // Renders every frame now due into `out`, which has room for them.
    void render(OutputSink<S>& out, bool at_end);
    void trim();

    ResamplerConfig config_;
    FirBackend backend_;
    std::shared_ptr<const FilterBank> bank_;
    StreamState<S> s_;
    Path path_;
    bool finished_ = false;
    // The state before the current call, to undo it if it fails.
    Checkpoint<S> before_call_;
};

using CoreF32 = Core<float>;
using CoreI16 = Core<std::int16_t>;

extern template class Core<float>;
extern template class Core<std::int16_t>;

}  // namespace tenvira
