// HqStream, the handle: copies, moves and the calls it forwards to its
// engine. The engines and the constructors are in hq_stream.cpp.
#include <cstdint>
#include <memory>
#include <vector>

#include "resampler/hq_stream.hpp"
#include "resampler/hq_stream_engine.hpp"

namespace tenvira {

template <typename S>
HqStream<S>::HqStream(const HqStream& other) : engine_(other.engine_->clone()) {}

template <typename S>
HqStream<S>& HqStream<S>::operator=(const HqStream& other) {
    if (this != &other) other.engine_->copy_to(*engine_);
    return *this;
}

template <typename S>
HqStream<S>::HqStream(HqStream&&) noexcept = default;
template <typename S>
HqStream<S>& HqStream<S>::operator=(HqStream&&) noexcept = default;
template <typename S>
HqStream<S>::~HqStream() = default;

template <typename S>
void HqStream<S>::append(const S* interleaved, std::uint64_t frames) {
    const std::uint64_t channels = engine_->channels();
    const S* few[8];
    std::vector<const S*> many;
    const S** starts = few;
    if (channels > 8) {
        many.resize(static_cast<std::size_t>(channels));
        starts = many.data();
    }
    for (std::uint64_t c = 0; c < channels; ++c) starts[c] = interleaved + c;
    engine_->append(starts, frames, channels);
}

template <typename S>
void HqStream<S>::append_planar(const S* const* channels, std::uint64_t frames) {
    engine_->append(channels, frames, 1);
}

template <typename S>
std::uint64_t HqStream<S>::render(S* out, std::uint64_t max_frames, bool at_end) {
    return engine_->render(out, max_frames, at_end);
}

template <typename S>
std::uint64_t HqStream<S>::frames_due_after(std::uint64_t more) const noexcept {
    return engine_->frames_due_after(more);
}

template <typename S>
std::uint64_t HqStream<S>::pending_at_end() const noexcept {
    return engine_->pending_at_end();
}

template <typename S>
std::uint64_t HqStream<S>::hold_back() const noexcept {
    return engine_->design().hold_back(engine_->channels());
}

template <typename S>
std::uint64_t HqStream<S>::frames_in() const noexcept {
    return engine_->frames_in();
}

template <typename S>
std::uint64_t HqStream<S>::frames_out() const noexcept {
    return engine_->frames_out();
}

template <typename S>
void HqStream<S>::reset() {
    engine_->reset();
}

template <typename S>
const HqDesign& HqStream<S>::design() const noexcept {
    return engine_->design();
}

template class HqStream<float>;
template class HqStream<std::int16_t>;

}  // namespace tenvira
