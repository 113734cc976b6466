#include "resampler/hq_path.hpp"

#include <algorithm>
#include <vector>

#include "base/arith.hpp"
#include "base/fault.hpp"
#include "base/memory.hpp"

namespace tenvira {

template <typename S>
HqPath<S>::HqPath(std::shared_ptr<const HqDesign> design, std::uint64_t channels, FirBackend backend)
    : stream_(std::move(design), channels, backend) {}

template <typename S>
std::uint64_t HqPath<S>::due(const StreamState<S>& s, std::int64_t frames_in, bool at_end) const noexcept {
    const auto more = static_cast<std::uint64_t>(std::max<std::int64_t>(frames_in, 0)) - stream_.frames_in();
    if (!at_end) return stream_.frames_due_after(more);
    const unsigned __int128 n = static_cast<unsigned __int128>(std::max<std::int64_t>(frames_in, 0)) * s.output_rate;
    const unsigned __int128 total = (n + s.input_rate - 1) / s.input_rate;
    const auto done = static_cast<std::uint64_t>(s.frames_out);
    return total > done ? (total - done > u64_max ? u64_max : static_cast<std::uint64_t>(total - done)) : 0;
}

template <typename S>
void HqPath<S>::render(StreamState<S>& s, OutputSink<S>& out, bool at_end) {
    const std::uint64_t channels = s.channels;
    if (stream_.frames_in() != static_cast<std::uint64_t>(s.frames_in)) fault("studio stream missed input frames");
    const std::uint64_t n = at_end ? stream_.pending_at_end() : stream_.frames_due_after(0);
    if (n == 0) return;
    S* dst = out.grow(static_cast<std::size_t>(n * channels));
    if (stream_.render(dst, n, at_end) != n) fault("studio stream rendered fewer frames than due");
    s.frames_out += static_cast<std::int64_t>(n);
}

template <typename S>
void HqPath<S>::save(std::optional<HqStream<S>>& state) const {
    if (state) {
        *state = stream_;
    } else {
        state.emplace(stream_);
    }
}

template <typename S>
void HqPath<S>::restore(const std::optional<HqStream<S>>& state) noexcept {
    if (state) stream_ = *state;
}

template class HqPath<float>;
template class HqPath<std::int16_t>;

}  // namespace tenvira
