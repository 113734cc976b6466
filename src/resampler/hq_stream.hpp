// The render path of the studio-quality presets "hq" and "vhq": one stream of
// interleaved float32 or int16 frames through the chain of an `HqDesign`.
//
// Output frame i sits exactly at input time i * in / out (linear phase, read
// positions stepped by an integer accumulator over the reduced ratio, so
// nothing drifts however long the stream). `append` takes input; `render`
// writes every frame now due; at the end of the stream it renders the rest
// with zeros in place of the missing input, up to exactly ceil(N * out / in)
// frames for N input frames. The output does not depend on how the input is
// split into calls, and memory does not grow with the stream's length.
// Allocation failure throws std::bad_alloc.
#pragma once

#include <cstdint>
#include <memory>

#include "backend/fir_backend.hpp"
#include "filter/hq_design.hpp"

namespace tenvira {

template <typename S>
class HqStream {
public:
    // The design for float32 streams: float32 arithmetic at hq, float64 at
    // vhq; for int16 streams the exact integer form.
    static std::shared_ptr<const HqDesign> design_for(std::uint32_t input_rate, std::uint32_t output_rate,
                                                      HqPreset preset);

    HqStream(std::uint32_t input_rate, std::uint32_t output_rate, std::uint64_t channels, HqPreset preset,
             FirBackend backend);
    // A stream over a shared design, which must come from design_for<S>.
    HqStream(std::shared_ptr<const HqDesign> design, std::uint64_t channels, FirBackend backend);
    HqStream(HqStream&&) noexcept;
    HqStream& operator=(HqStream&&) noexcept;
    // Copies are the same stream at the same point; assigning a copy of a
    // stream back to it (to undo calls) reuses its storage.
    HqStream(const HqStream& other);
    HqStream& operator=(const HqStream& other);
    ~HqStream();

    // Takes `frames` interleaved frames.
    void append(const S* interleaved, std::uint64_t frames);
    // The same from one array per channel.
    void append_planar(const S* const* channels, std::uint64_t frames);

    // Writes up to `max_frames` of the frames now due (interleaved) and
    // returns how many; with `at_end`, the rest of the stream is due.
    std::uint64_t render(S* out, std::uint64_t max_frames, bool at_end);

    // What render would return (without at_end) after appending `more`
    // frames, exactly, not counting frames already due and not yet taken.
    std::uint64_t frames_due_after(std::uint64_t more) const noexcept;

    // Frames render(at_end) would write now.
    std::uint64_t pending_at_end() const noexcept;

    // Input frames beyond an output frame's exact time that must arrive
    // before it is due, at most.
    std::uint64_t hold_back() const noexcept;

    std::uint64_t frames_in() const noexcept;
    std::uint64_t frames_out() const noexcept;

    // A fresh stream of the same design.
    void reset();

    const HqDesign& design() const noexcept;

    struct Engine;

private:
    std::unique_ptr<Engine> engine_;
};

extern template class HqStream<float>;
extern template class HqStream<std::int16_t>;

}  // namespace tenvira
