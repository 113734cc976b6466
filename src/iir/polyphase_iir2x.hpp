// Two-path polyphase allpass IIR converter for the exact 2:1 and 1:2 pairs.
//
// Two chains of three first-order allpass sections, branch A and branch B,
// both running at the low rate, form a half-band low-pass. Upsampling feeds
// every input sample to both chains and emits the branch A output, then the
// branch B output; downsampling feeds the even sample of a pair to branch B
// and the odd sample to branch A and emits the average of the two.
//
// All arithmetic is float32, each multiply, add and subtract rounded on its
// own (never fused), so results are reproducible bit for bit. Both branches
// of a channel share one SIMD register; the stereo filter runs both branches
// of two channels in the four lanes of one register.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

namespace tenvira {

// One channel, both branches side by side.
struct Iir2xFilter {
    // Per section k: (branch A coefficient, branch B coefficient).
    std::array<std::array<float, 2>, 3> coeffs;
    // Per section k: the previous input of section k, for branch A and B.
    std::array<std::array<float, 2>, 3> state{};
    // The previous output of the last section, for branch A and B.
    std::array<float, 2> last_output{};

    Iir2xFilter();

    // One step of both chains: `second` feeds branch A, `first` branch B.
    // Returns (branch A output, branch B output).
    std::array<float, 2> process_pair(float first, float second);
};

// Two channels, both branches, four lanes in the order
// (channel 0 A, channel 1 A, channel 0 B, channel 1 B).
struct Iir2xStereoFilter {
    // Per section k: (branch A coefficient, branch B coefficient).
    std::array<std::array<float, 2>, 3> coeffs;
    std::array<std::array<float, 4>, 3> state{};
    std::array<float, 4> last_output{};

    Iir2xStereoFilter();

    // One step for both channels: `second` (channel 0, channel 1) feeds
    // branch A, `first` feeds branch B. Returns the four lanes above.
    std::array<float, 4> process_pair(std::array<float, 2> first, std::array<float, 2> second);
};

// The converter of one stream: one filter per channel, or one stereo filter
// for exactly two channels, built for one direction.
class PolyphaseIir2x {
public:
    enum class Kind : std::uint8_t { Up, Down, StereoUp, StereoDown };

    // StereoUp for two channels, otherwise Up with one filter per channel.
    static PolyphaseIir2x up(std::uint64_t channels);
    // StereoDown for two channels, otherwise Down with one filter per channel.
    static PolyphaseIir2x down(std::uint64_t channels);

    Kind kind() const noexcept { return kind_; }
    std::uint64_t channels() const noexcept;

    // One input frame (channels() samples) to two output frames written to
    // out[0 .. 2 * channels()): the branch A frame, then the branch B frame.
    // `out` must not overlap `frame`.
    void upsample_frame(const float* frame, float* out);
    // The same, appending the two frames to `out`.
    void upsample_frame(std::span<const float> frame, std::vector<float>& out);

    // The per-channel step of the Up form: (branch A, branch B) of `channel`
    // for input x. The stereo form only steps both channels together.
    std::array<float, 2> upsample_channel(std::size_t channel, float x);

    // One output frame (channels() samples) from an even input frame and the
    // odd frame after it; a null `odd` (end of stream) counts as all zeros.
    // `out` must not overlap the inputs.
    void downsample_pair(const float* even, const float* odd, float* out);
    // The same, appending the frame to `out`.
    void downsample_pair(std::span<const float> even, std::optional<std::span<const float>> odd,
                         std::vector<float>& out);

    // The filters' state as plain numbers, and back: a converter restored
    // from what it saved continues exactly as it would have then. Saving
    // may throw std::bad_alloc (before anything is written); restoring
    // expects what this converter saved.
    void save_state(std::vector<float>& out) const;
    void restore_state(const std::vector<float>& in) noexcept;

private:
    using Payload = std::variant<std::vector<Iir2xFilter>, Iir2xStereoFilter>;

    PolyphaseIir2x(Kind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}

    bool is_up() const noexcept { return kind_ == Kind::Up || kind_ == Kind::StereoUp; }
    void require_up() const;
    void require_down() const;
    void require_frame(std::size_t samples) const;

    Kind kind_;
    Payload payload_;
};

}  // namespace tenvira
