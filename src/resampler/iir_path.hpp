// The IIR paths: 8000 <-> 16000 at quality "fast", through the two-path
// allpass converter. Frames are converted in stream order as they arrive:
// up, two output frames per input frame; down, one per pair of input frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "iir/polyphase_iir2x.hpp"
#include "resampler/output_sink.hpp"
#include "resampler/sample_traits.hpp"
#include "resampler/stream_state.hpp"

namespace tenvira {

template <typename S>
class IirPath {
public:
    IirPath(bool up, std::uint64_t channels);

    RenderPath kind() const noexcept { return up_ ? RenderPath::HalfBandUp : RenderPath::HalfBandDown; }
    const PolyphaseIir2x& converter() const noexcept { return iir_; }

    // The converter's filter state, kept and put back to undo a call.
    void save(std::vector<float>& state) const { iir_.save_state(state); }
    void restore(const std::vector<float>& state) noexcept { iir_.restore_state(state); }

    // Frames render would produce with `frames_in` input frames appended.
    std::uint64_t due(const StreamState<S>& s, std::int64_t frames_in, bool at_end) const noexcept;
    // Converts every pending frame (at the end, an unpaired last frame of the
    // down path with a zero partner) and appends the output to `out`, which
    // has room for it.
    void render(StreamState<S>& s, OutputSink<S>& out, bool at_end);

private:
    using T = SampleTraits<S>;

    // The pending input as float frames (frame-major), read from the rings.
    const float* stage_input(StreamState<S>& s, std::int64_t from, std::int64_t to);
    void render_up(StreamState<S>& s, OutputSink<S>& out);
    void render_down(StreamState<S>& s, OutputSink<S>& out, bool at_end);

    bool up_;
    PolyphaseIir2x iir_;
    std::vector<float> stage_;
    // One frame into the converter, and what comes out (up to two frames).
    std::vector<float> even_;
    std::vector<float> result_;
};

extern template class IirPath<float>;
extern template class IirPath<std::int16_t>;

}  // namespace tenvira
