#include "resampler/core.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "base/arith.hpp"
#include "base/memory.hpp"

namespace tenvira {

namespace {

// ceil(frames × output_rate / input_rate), exact; saturates at 2^64 - 1.
std::uint64_t stream_total(std::int64_t frames_in, std::uint32_t input_rate, std::uint32_t output_rate) noexcept {
    const unsigned __int128 n = static_cast<unsigned __int128>(std::max<std::int64_t>(frames_in, 0)) * output_rate;
    const unsigned __int128 q = n / input_rate + (n % input_rate != 0 ? 1 : 0);
    return q > u64_max ? u64_max : static_cast<std::uint64_t>(q);
}

// The one reservation rule: before a call takes its input, `out` gets room
// for everything the call makes due, and sizes the machine cannot hold are
// refused before anything is written.
template <typename S>
void reserve_more(std::vector<S>& out, std::uint64_t extra) {
    const std::uint64_t total = sat_add(out.size(), extra);
    if (total <= out.capacity()) return;
    check_allocation(sat_mul(total, sizeof(S)));
    if (total > out.max_size()) throw std::bad_alloc();
    out.reserve(static_cast<std::size_t>(total));
}

// The largest input a budget is computed for; beyond it the stream counters
// would leave their range long before the input could exist.
constexpr std::uint64_t max_budget_frames = std::uint64_t{1} << 62;

// The FIR paths, a block at a time: plan the block's frames and where each
// one reads (the float64 position advancing by repeated addition, as
// always), render them, then commit them to the stream. Every output keeps
// the arithmetic of its own formula; only the memory access and the
// interleaving of independent outputs change.
template <typename S, typename P>
void render_fir(StreamState<S>& s, P& path, OutputSink<S>& out, bool at_end) {
    const auto half = static_cast<std::int64_t>(s.taps / 2);
    const std::uint64_t end = at_end ? stream_total(s.frames_in, s.input_rate, s.output_rate) : 0;
    for (;;) {
        const auto done = static_cast<std::uint64_t>(s.frames_out);
        // At the end every frame up to the stream total is due; before it,
        // frame i is due once input frame trunc(position_i) + taps/2 is in.
        const std::size_t limit =
            at_end ? static_cast<std::size_t>(std::min<std::uint64_t>(end > done ? end - done : 0, block_frames))
                   : block_frames;
        const std::int64_t bound = at_end ? no_bound : s.frames_in - half;
        double position = s.position;
        const std::size_t n = path.plan(s, position, limit, bound);
        if (n == 0) break;
        path.render_block(s, out.grow(n * s.channels), n);
        s.position = position;
        s.frames_out += static_cast<std::int64_t>(n);
        if (n < block_frames) break;
    }
}

}  // namespace

std::int16_t q15_out(std::int64_t acc) noexcept {
    // (acc + 2^14) >> 15 without forming the sum: the quotient by 2^15 plus
    // bit 14 of the remainder. Equal wherever the sum fits, and the whole
    // accumulator range saturates instead of wrapping near the 64-bit limits.
    const std::int64_t r = (acc >> 15) + ((acc >> 14) & 1);
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(r, std::numeric_limits<std::int16_t>::min(),
                                                              std::numeric_limits<std::int16_t>::max()));
}

std::int16_t iir_to_i16(float y) noexcept {
    const float r = std::roundf(y);
    if (std::isnan(r)) return 0;
    if (r <= -32768.0f) return std::numeric_limits<std::int16_t>::min();
    if (r >= 32767.0f) return std::numeric_limits<std::int16_t>::max();
    return static_cast<std::int16_t>(r);
}

template <typename S>
Core<S>::Core(const ResamplerConfig& config, FirBackend backend, std::shared_ptr<const FilterBank> bank,
              StreamState<S> state, Path path)
    : config_(config), backend_(backend), bank_(std::move(bank)), s_(std::move(state)), path_(std::move(path)) {}

template <typename S>
Result<Core<S>> Core<S>::create(const ResamplerConfig& config) {
    if (config.input_rate == 0 || config.output_rate == 0) return ResampleError::invalid_sample_rate();
    if (config.channels == 0) return ResampleError::invalid_channel_count();
    Result<FirBackend> backend = select_backend(config.backend);
    if (!backend) return backend.error();

    // The studio-quality presets render every pair through their own path,
    // which takes every frame a call brings: the rings need no look-ahead,
    // and the budgets use the path's hold-back (required_output_capacity).
    const bool studio = config.quality == Quality::Hq || config.quality == Quality::Vhq;
    std::shared_ptr<const HqDesign> studio_design;
    if (studio) {
        studio_design = HqStream<S>::design_for(config.input_rate, config.output_rate,
                                                config.quality == Quality::Hq ? HqPreset::Hq : HqPreset::Vhq);
    }
    std::shared_ptr<const FilterBank> bank =
        studio ? std::make_shared<const FilterBank>()
               : FilterBank::shared(config.input_rate, config.output_rate, config.quality);
    const std::uint64_t taps = studio ? 0 : bank->taps;
    // Starting ring capacity; process grows the rings when a call brings more.
    const std::uint64_t capacity =
        RingBuffer<S>::capacity_for(0, taps, config.max_input_frames_per_chunk.value_or(0));
    // Refuse what cannot be held before allocating any of it: one ring's byte
    // size beyond the signed range is a fault, the whole set beyond the
    // machine's memory is an allocation failure.
    const std::uint64_t ring_bytes = checked_byte_size(capacity, sizeof(S));
    check_allocation(sat_add(sat_mul(ring_bytes, config.channels), sat_mul(sizeof(RingBuffer<S>), config.channels)));

    StreamState<S> s;
    s.channels = config.channels;
    s.input_rate = config.input_rate;
    s.output_rate = config.output_rate;
    s.ratio = static_cast<double>(config.input_rate) / static_cast<double>(config.output_rate);
    s.taps = taps;
    s.kernels = resolve_kernels(backend.value());
    s.rings.reserve(static_cast<std::size_t>(config.channels));
    for (std::uint64_t k = 0; k < config.channels; ++k) s.rings.emplace_back(capacity);

    // The form of the design decides the path, once. The half-band pairs
    // render through the IIR converter at quality "fast".
    const bool up = config.output_rate > config.input_rate;
    if (studio) {
        Path path = HqPath<S>(std::move(studio_design), config.channels, backend.value());
        return Core(config, backend.value(), std::move(bank), std::move(s), std::move(path));
    }
    Path path = std::visit(
        [&](const auto& form) -> Path {
            using Form = std::decay_t<decltype(form)>;
            if constexpr (std::is_same_v<Form, PolyphaseRows>) {
                return PolyphasePath<S>(form, taps, bank->phases);
            } else if constexpr (std::is_same_v<Form, HalfBandFilter>) {
                if (config.quality == Quality::Fast) return IirPath<S>(up, config.channels);
                if (up) return HalfBandUpPath<S>(form);
                return FixedDownPath<S>(form);
            } else {
                return FixedDownPath<S>(form);
            }
        },
        bank->form);
    return Core(config, backend.value(), std::move(bank), std::move(s), std::move(path));
}

template <typename S>
const PolyphaseIir2x* Core<S>::iir() const noexcept {
    const auto* iir = std::get_if<IirPath<S>>(&path_);
    return iir != nullptr ? &iir->converter() : nullptr;
}

template <typename S>
RenderPath Core<S>::path() const noexcept {
    return std::visit([](const auto& p) { return p.kind(); }, path_);
}

template <typename S>
ProcessStats Core<S>::stats(std::uint64_t input_frames, std::size_t output_samples) const noexcept {
    return ProcessStats{input_frames, output_samples / config_.channels, backend_};
}

template <typename S>
std::uint64_t Core<S>::required_output_capacity(std::uint64_t frames) const noexcept {
    const auto* hq = std::get_if<HqPath<S>>(&path_);
    const std::uint64_t half = hq != nullptr ? hq->stream().hold_back() : s_.taps / 2;
    auto t = static_cast<std::int64_t>(frames + half + 2);  // wraps like the machine
    if (t <= 0) t = 0;
    const std::uint64_t p = static_cast<std::uint64_t>(t) * config_.output_rate;  // wraps
    std::uint64_t q = p / config_.input_rate + (p % config_.input_rate != 0 ? 1 : 0);
    if (static_cast<std::int64_t>(q) <= 0) q = 0;
    return sat_mul(q, config_.channels);
}

template <typename S>
std::uint64_t Core<S>::frames_due_after(std::uint64_t frames, bool at_end) const noexcept {
    const std::int64_t in = s_.frames_in + static_cast<std::int64_t>(std::min(frames, max_budget_frames));
    if (const auto* iir = std::get_if<IirPath<S>>(&path_)) return iir->due(s_, in, at_end);
    if (const auto* hq = std::get_if<HqPath<S>>(&path_)) return hq->due(s_, in, at_end);
    if (at_end) {
        const std::uint64_t end = stream_total(in, s_.input_rate, s_.output_rate);
        const auto done = static_cast<std::uint64_t>(s_.frames_out);
        return end > done ? end - done : 0;
    }
    // The frames whose read position lies below in - taps/2, one more where
    // float64 rounding could add one.
    const auto half = static_cast<std::int64_t>(s_.taps / 2);
    const double span = static_cast<double>(in - half) - s_.position;
    if (!(span > 0.0)) return 0;
    return sat_add(trunc_u64(std::ceil(span / s_.ratio)), 1);
}

template <typename S>
Result<ProcessOutput<S>> Core<S>::process(std::span<const S> input) {
    ProcessOutput<S> result;
    Result<ProcessStats> stats = process_append(input, result.samples);
    if (!stats) return stats.error();
    result.stats = stats.value();
    return result;
}

template <typename S>
Result<ProcessStats> Core<S>::process_append(std::span<const S> input, std::vector<S>& out) {
    OutputSink<S> sink(out);
    return process_to(input, sink);
}

template <typename S>
Result<ProcessStats> Core<S>::process_into(std::span<const S> input, std::span<S> out) {
    OutputSink<S> sink(out);
    return process_to(input, sink);
}

template <typename S>
Result<ProcessStats> Core<S>::process_to(std::span<const S> input, OutputSink<S>& out) {
    const std::uint64_t n = input.size();
    const std::uint64_t channels = config_.channels;
    if (finished_) return stats(0, 0);
    if (n % channels != 0) return ResampleError::misaligned_input(n, channels);
    const std::uint64_t frames = n / channels;

    if (std::vector<S>* v = out.vector()) reserve_more(*v, sat_mul(frames_due_after(frames), channels));
    save(before_call_);
    try {
        if (auto* hq = std::get_if<HqPath<S>>(&path_)) {
            // The studio path holds its own input: the frames go to it
            // directly, not through the rings.
            hq->take(input.data(), frames);
        } else {
            for (RingBuffer<S>& ring : s_.rings) ring.ensure_capacity(frames, s_.taps);
            if (frames > 0) {
                for (std::uint64_t k = 0; k < channels; ++k) s_.rings[k].append(input.data() + k, frames, channels);
            }
        }
        s_.frames_in += static_cast<std::int64_t>(frames);
        render(out, false);
        trim();
    } catch (...) {
        restore(before_call_);
        out.discard();
        throw;
    }
    return stats(frames, out.written());
}

template <typename S>
ProcessOutput<S> Core<S>::finish() {
    ProcessOutput<S> result;
    result.stats = finish_append(result.samples);
    return result;
}

template <typename S>
ProcessStats Core<S>::finish_append(std::vector<S>& out) {
    OutputSink<S> sink(out);
    return finish_to(sink);
}

template <typename S>
ProcessStats Core<S>::finish_into(std::span<S> out) {
    OutputSink<S> sink(out);
    return finish_to(sink);
}

template <typename S>
ProcessStats Core<S>::finish_to(OutputSink<S>& out) {
    if (std::vector<S>* v = out.vector()) reserve_more(*v, sat_mul(pending_output_frames(), config_.channels));
    save(before_call_);
    try {
        render(out, true);
    } catch (...) {
        restore(before_call_);
        out.discard();
        throw;
    }
    finished_ = true;
    return stats(0, out.written());
}

template <typename S>
void Core<S>::save(Checkpoint<S>& c) const {
    const RingBuffer<S>& first = s_.rings[0];
    const auto frames = static_cast<std::uint64_t>(first.len());
    c.history.resize(static_cast<std::size_t>(frames * config_.channels));
    if (const auto* iir = std::get_if<IirPath<S>>(&path_)) iir->save(c.iir);
    if (const auto* hq = std::get_if<HqPath<S>>(&path_)) hq->save(c.studio);
    // Nothing above changed the stream; from here on nothing can fail.
    for (std::uint64_t k = 0; k < config_.channels; ++k) {
        s_.rings[k].copy_range(first.start(), first.end(), c.history.data() + k * frames);
    }
    c.history_start = first.start();
    c.history_frames = frames;
    c.frames_in = s_.frames_in;
    c.frames_out = s_.frames_out;
    c.position = s_.position;
    c.iir_cursor = s_.iir_cursor;
    c.finished = finished_;
}

template <typename S>
void Core<S>::restore(const Checkpoint<S>& c) noexcept {
    for (std::uint64_t k = 0; k < config_.channels; ++k) {
        s_.rings[k].restore(c.history_start, c.history.data() + k * c.history_frames, c.history_frames);
    }
    if (auto* iir = std::get_if<IirPath<S>>(&path_)) iir->restore(c.iir);
    if (auto* hq = std::get_if<HqPath<S>>(&path_)) hq->restore(c.studio);
    s_.frames_in = c.frames_in;
    s_.frames_out = c.frames_out;
    s_.position = c.position;
    s_.iir_cursor = c.iir_cursor;
    finished_ = c.finished;
}

template <typename S>
void Core<S>::render(OutputSink<S>& out, bool at_end) {
    std::visit(
        [&](auto& path) {
            using P = std::decay_t<decltype(path)>;
            if constexpr (std::is_same_v<P, IirPath<S>> || std::is_same_v<P, HqPath<S>>) {
                path.render(s_, out, at_end);
            } else {
                render_fir(s_, path, out, at_end);
            }
        },
        path_);
}

// Drops the history no future frame needs: the FIR window of the next frame
// begins at trunc(position) + 1 - taps/2, and the three frames before it
// stay; the IIR paths keep the two frames before the next unconverted one.
template <typename S>
void Core<S>::trim() {
    std::int64_t k = 0;
    if (std::holds_alternative<HqPath<S>>(path_)) {
        k = s_.frames_in;  // the studio path has taken every frame
    } else if (std::holds_alternative<IirPath<S>>(path_)) {
        k = s_.iir_cursor < i64_min + 2 ? i64_min : s_.iir_cursor - 2;
    } else {
        k = trunc_i64(s_.position) - static_cast<std::int64_t>(s_.taps / 2) - 2;
    }
    k = std::max(k, s_.rings[0].start());
    for (RingBuffer<S>& ring : s_.rings) ring.discard_before(k);
}

template <typename S>
void Core<S>::reset() {
    Result<Core> fresh = create(config_);
    if (fresh) *this = std::move(fresh.value());
}

template class Core<float>;
template class Core<std::int16_t>;

}  // namespace tenvira
