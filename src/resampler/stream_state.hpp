// What the render paths of one stream share: the per-channel input history,
// the stream counters and the kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "backend/fir_backend.hpp"
#include "ring/ring_buffer.hpp"

namespace tenvira {

// How a stream is rendered.
enum class RenderPath : std::uint8_t { Polyphase = 0, HalfBandUp = 1, HalfBandDown = 2, ThirdBandDown = 3, Studio = 4 };

// Frames rendered per block by the FIR paths; bounds their planning and
// per-block arrays.
inline constexpr std::size_t block_frames = 256;

// The due bound of the end of the stream: every frame up to the stream total.
inline constexpr std::int64_t no_bound = std::numeric_limits<std::int64_t>::max();

// Below this, read positions and their whole parts convert to int64 without
// the saturating conversions, and a block's planning never leaves the range.
inline constexpr double plain_position_limit = 0x1p62;

template <typename S>
struct StreamState {
    std::uint64_t channels = 0;
    std::uint32_t input_rate = 0;
    std::uint32_t output_rate = 0;
    double ratio = 1.0;       // input_rate / output_rate
    std::uint64_t taps = 0;   // filter length; the FIR look-ahead is taps / 2
    Kernels kernels{};
    // One ring per channel, channel k of the interleaved input in ring k.
    std::vector<RingBuffer<S>> rings;
    std::int64_t frames_in = 0;   // input frames appended
    std::int64_t frames_out = 0;  // output frames rendered
    double position = 0.0;        // FIR paths: read position of the next output frame
    std::int64_t iir_cursor = 0;  // IIR paths: the next input frame not yet converted
    // Scratch for one channel's input as a linear array.
    std::vector<S> linear;

    // Copies input frames [lo, hi) of one channel, zeros where the ring holds
    // nothing, into `linear` and returns it.
    S* linear_input(std::size_t channel, std::int64_t lo, std::int64_t hi) {
        const auto length = static_cast<std::size_t>(hi - lo);
        if (linear.size() < length) linear.resize(length);
        rings[channel].copy_range(lo, hi, linear.data());
        return linear.data();
    }
};

}  // namespace tenvira
