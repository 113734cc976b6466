// The engine behind an HqStream: what every arithmetic's chain implements
// (hq_stream.cpp), and all the handle (hq_stream_handle.cpp) calls.
#pragma once

#include <cstdint>
#include <memory>

#include "filter/hq_design.hpp"
#include "resampler/hq_stream.hpp"

namespace tenvira {

template <typename S>
struct HqStream<S>::Engine {
    virtual ~Engine() = default;
    virtual void append(const S* const* x, std::uint64_t frames, std::uint64_t stride) = 0;
    virtual std::uint64_t render(S* out, std::uint64_t max_frames, bool at_end) = 0;
    virtual std::uint64_t frames_due_after(std::uint64_t more) const noexcept = 0;
    virtual std::uint64_t pending_at_end() const noexcept = 0;
    virtual void reset() = 0;
    virtual std::uint64_t frames_in() const noexcept = 0;
    virtual std::uint64_t frames_out() const noexcept = 0;
    virtual const HqDesign& design() const noexcept = 0;
    virtual std::uint64_t channels() const noexcept = 0;
    // A copy of this engine, or this engine's state copied into `into`,
    // which is of the same kind.
    virtual std::unique_ptr<Engine> clone() const = 0;
    virtual void copy_to(Engine& into) const = 0;
};

}  // namespace tenvira
