// The studio-quality path ("hq", "vhq") inside the stream skeleton: every
// rate pair, the telephony pairs and equal rates included. A call's input
// goes straight to the path's own stream (hq_stream.hpp), which holds what
// its stages still need and renders every frame due.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "filter/hq_design.hpp"
#include "resampler/hq_stream.hpp"
#include "resampler/output_sink.hpp"
#include "resampler/stream_state.hpp"

namespace tenvira {

template <typename S>
class HqPath {
public:
    HqPath(std::shared_ptr<const HqDesign> design, std::uint64_t channels, FirBackend backend);

    RenderPath kind() const noexcept { return RenderPath::Studio; }
    const HqStream<S>& stream() const noexcept { return stream_; }

    // Frames render would produce with `frames_in` input frames appended.
    std::uint64_t due(const StreamState<S>& s, std::int64_t frames_in, bool at_end) const noexcept;
    // Takes interleaved frames straight from a call's input.
    void take(const S* interleaved, std::uint64_t frames) {
        if (frames > 0) stream_.append(interleaved, frames);
    }
    // Writes every frame now due to `out`, which has room for them.
    void render(StreamState<S>& s, OutputSink<S>& out, bool at_end);

    // The stream's state, kept and put back to undo a call. Saving reuses
    // the kept storage; restoring into the same stream does not allocate.
    void save(std::optional<HqStream<S>>& state) const;
    void restore(const std::optional<HqStream<S>>& state) noexcept;

private:
    HqStream<S> stream_;
};

extern template class HqPath<float>;
extern template class HqPath<std::int16_t>;

}  // namespace tenvira
