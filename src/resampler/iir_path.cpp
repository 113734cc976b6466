#include "resampler/iir_path.hpp"

#include <algorithm>

#include "base/arith.hpp"

namespace tenvira {

template <typename S>
IirPath<S>::IirPath(bool up, std::uint64_t channels)
    : up_(up),
      iir_(up ? PolyphaseIir2x::up(channels) : PolyphaseIir2x::down(channels)),
      even_(static_cast<std::size_t>(channels), 0.0f),
      result_(static_cast<std::size_t>(2 * channels), 0.0f) {}

template <typename S>
std::uint64_t IirPath<S>::due(const StreamState<S>& s, std::int64_t frames_in, bool at_end) const noexcept {
    const auto pending = static_cast<std::uint64_t>(std::max<std::int64_t>(frames_in - s.iir_cursor, 0));
    if (up_) return sat_mul(pending, 2);
    return pending / 2 + (at_end && pending % 2 != 0 ? 1 : 0);
}

template <typename S>
const float* IirPath<S>::stage_input(StreamState<S>& s, std::int64_t from, std::int64_t to) {
    const std::uint64_t channels = s.channels;
    const auto frames = static_cast<std::size_t>(to - from);
    if (stage_.size() < frames * channels) stage_.resize(frames * channels);
    for (std::uint64_t k = 0; k < channels; ++k) {
        const S* x = s.linear_input(k, from, to);
        float* dst = stage_.data() + k;
        for (std::size_t f = 0; f < frames; ++f) dst[f * channels] = T::to_iir(x[f]);
    }
    return stage_.data();
}

template <typename S>
void IirPath<S>::render(StreamState<S>& s, OutputSink<S>& out, bool at_end) {
    if (up_) {
        render_up(s, out);  // nothing is held back, so the end adds nothing
    } else {
        render_down(s, out, at_end);
    }
}

template <typename S>
void IirPath<S>::render_up(StreamState<S>& s, OutputSink<S>& out) {
    const std::uint64_t channels = s.channels;
    const auto pending = static_cast<std::size_t>(std::max<std::int64_t>(s.frames_in - s.iir_cursor, 0));
    if (pending == 0) return;
    const float* x = stage_input(s, s.iir_cursor, s.frames_in);
    S* dst = out.grow(2 * pending * channels);
    const bool per_channel = iir_.kind() == PolyphaseIir2x::Kind::Up && channels > 1;
    for (std::size_t f = 0; f < pending; ++f) {
        S* frame_out = dst + 2 * f * channels;
        if (per_channel) {
            // One filter per channel: every channel's first value forms the
            // first output frame and every second value the next.
            for (std::uint64_t k = 0; k < channels; ++k) {
                const auto [a, b] = iir_.upsample_channel(k, x[f * channels + k]);
                frame_out[k] = T::from_iir(a);
                frame_out[channels + k] = T::from_iir(b);
            }
        } else {
            iir_.upsample_frame(x + f * channels, result_.data());
            for (std::uint64_t k = 0; k < 2 * channels; ++k) frame_out[k] = T::from_iir(result_[k]);
        }
    }
    s.iir_cursor += static_cast<std::int64_t>(pending);
    s.frames_out += 2 * static_cast<std::int64_t>(pending);
}

// Pairs (even, odd) are counted from frame 0 of the stream: the cursor always
// stands on an even frame here.
template <typename S>
void IirPath<S>::render_down(StreamState<S>& s, OutputSink<S>& out, bool at_end) {
    const std::uint64_t channels = s.channels;
    const std::int64_t pending = s.frames_in - s.iir_cursor;
    const auto pairs = static_cast<std::size_t>(pending / 2);
    if (pairs > 0) {
        const float* x = stage_input(s, s.iir_cursor, s.iir_cursor + 2 * static_cast<std::int64_t>(pairs));
        S* dst = out.grow(pairs * channels);
        for (std::size_t q = 0; q < pairs; ++q) {
            const float* even = x + 2 * q * channels;
            iir_.downsample_pair(even, even + channels, result_.data());
            for (std::uint64_t k = 0; k < channels; ++k) dst[q * channels + k] = T::from_iir(result_[k]);
        }
        s.iir_cursor += 2 * static_cast<std::int64_t>(pairs);
        s.frames_out += static_cast<std::int64_t>(pairs);
    }
    if (at_end && s.iir_cursor < s.frames_in) {
        // The last frame has no partner: it is paired with silence.
        for (std::uint64_t k = 0; k < channels; ++k) even_[k] = T::to_iir(s.rings[k].get(s.iir_cursor));
        iir_.downsample_pair(even_.data(), nullptr, result_.data());
        S* dst = out.grow(channels);
        for (std::uint64_t k = 0; k < channels; ++k) dst[k] = T::from_iir(result_[k]);
        s.iir_cursor += 1;
        s.frames_out += 1;
    }
}

template class IirPath<float>;
template class IirPath<std::int16_t>;

}  // namespace tenvira
