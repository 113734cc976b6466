// The general path: a polyphase bank of rows for any rate pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "filter/filter_bank.hpp"
#include "resampler/sample_traits.hpp"
#include "resampler/stream_state.hpp"

namespace tenvira {

template <typename S>
class PolyphasePath {
public:
    PolyphasePath(const PolyphaseRows& rows, std::uint64_t taps, std::uint64_t phases);

    RenderPath kind() const noexcept { return RenderPath::Polyphase; }

    // Plans up to `limit` frames from `position` on: each frame reads at the
    // position before it plus the ratio, and is due while its whole part
    // stays below `bound`. Advances `position` past the planned frames and
    // returns how many there are.
    std::size_t plan(const StreamState<S>& s, double& position, std::size_t limit, std::int64_t bound);
    // Renders the n planned frames into out (interleaved).
    void render_block(StreamState<S>& s, S* out, std::size_t n);

private:
    using T = SampleTraits<S>;
    using Coeff = typename T::Coeff;
    using Acc = typename T::Acc;

    // Longest period of a block's rows for its frames to be grouped by row.
    static constexpr std::size_t max_shared_rows = 8;

    std::size_t plan_general(const StreamState<S>& s, double& position, std::size_t limit, std::int64_t bound);
    std::size_t row_period(std::size_t n);

    const Coeff* bank_;
    std::uint64_t taps_;
    std::uint64_t phases_;
    // The block's planned read positions (w = trunc(position)) and the rows
    // they select (as phases; as pointers those the kernels read: every
    // frame's, or one cycle's), the windows the products read and the int16
    // sums.
    std::vector<std::int64_t> whole_;
    std::vector<std::uint32_t> phase_;
    std::vector<const Coeff*> rows_;
    std::vector<const S*> windows_;
    std::vector<Acc> results_;
    // The period of the rows of the last block grouped by row.
    std::size_t last_period_ = 0;
};

extern template class PolyphasePath<float>;
extern template class PolyphasePath<std::int16_t>;

}  // namespace tenvira
