// What a studio design means for the streams that use it: hold-back, the
// output frames an input count makes due, and the work per output frame.
#include <cstdint>
#include <limits>

#include "filter/hq_design.hpp"
#include "filter/hq_fft.hpp"

namespace tenvira {

std::uint64_t HqDesign::hold_back(std::uint64_t channels) const noexcept {
    const HqPolyphase& poly = polyphase_;
    const HqOverlapSave* blocks = poly.blocks_for(channels);
    return hold_of(blocks != nullptr ? poly.ahead + blocks->size() - poly.taps : poly.ahead);
}

std::uint64_t HqDesign::hold_of(std::uint64_t newest) const noexcept {
    // Stage-input frame `newest` needs input frame 2^k newest + sum of
    // 2^j reach_j; due one frame later.
    for (auto it = half_bands_.rbegin(); it != half_bands_.rend(); ++it) newest = 2 * newest + it->reach;
    return newest + 1;
}

std::uint64_t HqDesign::frames_due(std::uint64_t frames, std::uint64_t channels) const noexcept {
    std::uint64_t available = frames;
    for (const HqHalfBand& stage : half_bands_) {
        available = available > stage.reach ? (available - 1 - stage.reach) / 2 + 1 : 0;
    }
    return polyphase_due(available, channels);
}

std::uint64_t HqDesign::polyphase_due(std::uint64_t available, std::uint64_t channels) const noexcept {
    if (const HqOverlapSave* form = polyphase_.blocks_for(channels)) {
        // Whole blocks: block k reads up to frame k J P + ahead - taps + size.
        const HqOverlapSave& f = *form;
        const std::uint64_t first = polyphase_.ahead + f.size() - polyphase_.taps + 1;  // frames block 0 needs
        if (available < first) return 0;
        const unsigned __int128 blocks = (available - first) / f.stride() + 1;
        const unsigned __int128 due = blocks * f.outputs();
        return due > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                                : static_cast<std::uint64_t>(due);
    }
    if (available <= polyphase_.ahead) return 0;
    // Frames i with floor(i P / Q) < L, i.e. i P < L Q.
    const unsigned __int128 l = available - polyphase_.ahead;
    const unsigned __int128 due = (l * polyphase_.step_den + polyphase_.step_num - 1) / polyphase_.step_num;
    return due > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                            : static_cast<std::uint64_t>(due);
}

double HqDesign::multiply_adds_per_output() const noexcept {
    double work = static_cast<double>(polyphase_.taps) * (polyphase_.table == 0 ? 1.0 : 4.0);
    double outputs = 1.0;  // outputs of the stage per final output frame
    for (auto it = half_bands_.rbegin(); it != half_bands_.rend(); ++it) {
        outputs = it == half_bands_.rbegin()
                      ? static_cast<double>(polyphase_.step_num) / static_cast<double>(polyphase_.step_den)
                      : outputs * 2.0;
        work += outputs * static_cast<double>(it->count() + 1);
    }
    return work;
}

}  // namespace tenvira
