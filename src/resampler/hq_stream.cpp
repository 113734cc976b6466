#include "resampler/hq_stream.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

#include "backend/hq_backend.hpp"
#include "base/fault.hpp"
#include "base/memory.hpp"
#include "resampler/hq_stream_engine.hpp"
#include "resampler/hq_rows.hpp"
#include "resampler/hq_stream_parts.hpp"

namespace tenvira {

namespace {

// Output frames computed per block, in each stage.
constexpr std::size_t block = 1024;

std::uint64_t saturate(unsigned __int128 v) noexcept {
    return v > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                         : static_cast<std::uint64_t>(v);
}

}  // namespace

namespace {

using hq_detail::Arith;
using hq_detail::Line;
using hq_detail::lagrange4;

template <HqArithmetic A>
class Chain final : public HqStream<typename Arith<A>::S>::Engine {
    using T = Arith<A>;
    using S = typename T::S;
    using W = typename T::W;
    using R = typename T::R;

public:
    Chain(std::shared_ptr<const HqDesign> design, std::uint64_t channels, FirBackend backend)
        : design_(std::move(design)), kernels_(&hq_kernels(backend)), channels_(channels),
          blocks_(design_->polyphase().blocks_for(channels)),
          vector_blocks_(blocks_ != nullptr && kernels_->vector_blocks != nullptr ? kernels_->vector_blocks(*blocks_)
                                                                                 : nullptr) {
        const HqPolyphase& poly = design_->polyphase();
        step_whole_ = static_cast<std::int64_t>(poly.step_num / poly.step_den);
        step_part_ = poly.step_num % poly.step_den;
        first_tap_ = static_cast<std::int64_t>(poly.ahead) - static_cast<std::int64_t>(poly.taps) + 1;
        // Paired rows read up to `pad` frames before a frame's oldest tap.
        history_ = blocks_ == nullptr ? poly.pad : 0;
        if (poly.table == 0 && blocks_ == nullptr) layout_ = hq_detail::pair_frames(poly);
        reset();
    }

    void reset() override {
        lines_.clear();
        const auto& stages = design_->half_bands();
        check_allocation(checked_byte_size(channels_, sizeof(std::vector<Line<W>>)));
        lines_.resize(static_cast<std::size_t>(channels_));
        for (auto& line : lines_) {
            for (const HqHalfBand& h : stages) line.emplace_back(h.reach + 1);
            line.emplace_back(design_->polyphase().taps - design_->polyphase().ahead + history_);
        }
        produced_.assign(stages.size(), 0);
        frames_in_ = frames_out_ = 0;
        pos_n_ = 0;
        pos_phase_ = 0;
        padded_ = false;
    }

    // Channel c's frames are x[c][f * stride] (interleaved: x[c] = base + c,
    // stride = channels; planar: stride 1).
    void append(const S* const* x, std::uint64_t frames, std::uint64_t stride) override {
        if (frames == 0) return;
        check_allocation(checked_byte_size(checked_byte_size(frames, sizeof(W)), channels_));
        if (channels_ == 2 && stride == 2 && x[1] == x[0] + 1) {
            // Interleaved stereo: both channels in one pass over the input.
            W* left = lines_[0].front().extend(frames);
            W* right = lines_[1].front().extend(frames);
            const S* from = x[0];
            for (std::uint64_t f = 0; f < frames; ++f) {
                left[f] = T::in(from[2 * f]);
                right[f] = T::in(from[2 * f + 1]);
            }
        } else {
            for (std::uint64_t c = 0; c < channels_; ++c) take(c, x[c], frames, stride);
        }
        frames_in_ += frames;
    }

    std::uint64_t render(S* out, std::uint64_t max_frames, bool at_end) override {
        if (plan_n_.empty()) {
            // Scratch is made on first use: copies of a stream (the state a
            // call may have to restore) never render and do without. plan_n_
            // comes last, so that a failed allocation leaves it empty and the
            // next call makes the rest again.
            std::uint64_t widest = 0;
            for (const HqHalfBand& h : design_->half_bands()) widest = std::max(widest, h.count());
            if (!design_->half_bands().empty()) {
                even_.resize(block);
                odd_.resize(block + 2 * widest);
            }
            // Exact rows plan a block's first Q frames and sum at most
            // ceil(block / Q) frames of one phase at a time; interpolated
            // rows plan every frame and sum one at a time.
            const HqPolyphase& poly = design_->polyphase();
            const bool exact = poly.table == 0;
            const std::uint64_t q = poly.step_den;
            const std::size_t sums = exact ? static_cast<std::size_t>((block + q - 1) / q) : 1;
            scratch_.resize(sums);
            scratch_b_.resize(exact ? sums : 0);
            const std::size_t plans = exact ? static_cast<std::size_t>(std::min<std::uint64_t>(q, block)) : block;
            plan_phase_.resize(plans);
            plan_n_.resize(plans);
        }
        const bool pad = at_end && !padded_;
        run_half_bands(pad);
        const HqPolyphase& poly = design_->polyphase();
        if (pad) {
            // The polyphase stage's input up to the last frame's window (or
            // its block's).
            const std::uint64_t last = total() > 0 ? total() - 1 : 0;
            const unsigned __int128 n = static_cast<unsigned __int128>(last) * poly.step_num / poly.step_den;
            std::int64_t end = static_cast<std::int64_t>(n) + static_cast<std::int64_t>(poly.ahead) + 1;
            if (blocks_ != nullptr) end = block_start(last / blocks_->outputs()) + static_cast<std::int64_t>(blocks_->size());
            pad_to(lines_[0].size() - 1, end);
            padded_ = true;
        }
        std::uint64_t due = design_->polyphase_due(static_cast<std::uint64_t>(lines_[0].back().end()), channels_);
        if (padded_) due = std::min(due, total());
        const std::uint64_t n = std::min(due > frames_out_ ? due - frames_out_ : 0, max_frames);
        if constexpr (A == HqArithmetic::F64Split) {
            // No blocks: see Arith<F64Split>.
        } else if (blocks_ != nullptr) {
            if (vector_blocks_ != nullptr) {
                hq_detail::render_blocks<T>(*blocks_, *vector_blocks_, lines_, first_tap_, frames_out_, n, out,
                                         block_scratch_, starts_);
            } else {
                hq_detail::render_blocks<T>(*blocks_, *blocks_, lines_, first_tap_, frames_out_, n, out, block_scratch_,
                                         starts_);
            }
            frames_out_ += n;
            const std::int64_t keep = block_start(frames_out_ / blocks_->outputs());
            for (auto& line : lines_) line.back().discard_before(keep);
            return n;
        }
        for (std::uint64_t done = 0; done < n;) {
            const auto b = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, block));
            render_block(out + done * channels_, b);
            done += b;
        }
        for (auto& line : lines_) {
            line.back().discard_before(pos_n_ + first_tap_ - static_cast<std::int64_t>(history_));
        }
        return n;
    }

    std::uint64_t frames_due_after(std::uint64_t more) const noexcept override {
        if (padded_) return 0;
        const std::uint64_t due = design_->frames_due(frames_in_ + std::min(more, ~frames_in_), channels_);
        return due > frames_out_ ? due - frames_out_ : 0;
    }

    std::uint64_t pending_at_end() const noexcept override {
        const std::uint64_t end = total();
        return end > frames_out_ ? end - frames_out_ : 0;
    }

    std::unique_ptr<typename HqStream<S>::Engine> clone() const override { return std::make_unique<Chain>(*this); }
    // The stream's state only; the per-block scratch is not part of it.
    void copy_to(typename HqStream<S>::Engine& into) const override {
        auto* target = dynamic_cast<Chain*>(&into);
        if (target == nullptr || target->design_ != design_) fault("studio stream state copied across designs");
        target->lines_ = lines_;
        target->produced_ = produced_;
        target->frames_in_ = frames_in_;
        target->frames_out_ = frames_out_;
        target->pos_n_ = pos_n_;
        target->pos_phase_ = pos_phase_;
        target->padded_ = padded_;
    }

    std::uint64_t frames_in() const noexcept override { return frames_in_; }
    std::uint64_t channels() const noexcept override { return channels_; }
    std::uint64_t frames_out() const noexcept override { return frames_out_; }
    const HqDesign& design() const noexcept override { return *design_; }

private:
    // ceil(frames_in * out / in).
    std::uint64_t total() const noexcept {
        const unsigned __int128 n = static_cast<unsigned __int128>(frames_in_) * design_->output_rate();
        return saturate((n + design_->input_rate() - 1) / design_->input_rate());
    }

    // The oldest stage-input frame overlap-save block k reads.
    std::int64_t block_start(std::uint64_t k) const noexcept {
        return static_cast<std::int64_t>(k * blocks_->stride()) + first_tap_;
    }

    // Appends zeros to stage k's line of every channel up to frame `end`.
    void pad_to(std::size_t k, std::int64_t end) {
        const std::int64_t have = lines_[0][k].end();
        if (end <= have) return;
        const auto zeros = static_cast<std::uint64_t>(end - have);
        for (auto& line : lines_) std::fill_n(line[k].extend(zeros), zeros, W{});
    }

    // Channel c's next frames, x[f * stride], onto its first line.
    void take(std::uint64_t c, const S* x, std::uint64_t frames, std::uint64_t stride) {
        // int16 frames are scaled to the guard grid; float ones are copied.
        if (stride == 1 && A != HqArithmetic::I16) {
            lines_[c].front().append(x, frames);
            return;
        }
        W* dst = lines_[c].front().extend(frames);
        for (std::uint64_t f = 0; f < frames; ++f) dst[f] = T::in(x[f * stride]);
    }

    // Every half-band output whose input has arrived, stage after stage. At
    // the end of the stream each stage's input is padded with just enough
    // zeros to flush its filter: its outputs after that are exact zeros, and
    // the next stage's padding stands for them.
    void run_half_bands(bool pad) {
        const auto& stages = design_->half_bands();
        for (std::size_t k = 0; k < stages.size(); ++k) {
            const HqHalfBand& h = stages[k];
            const auto reach = static_cast<std::int64_t>(h.reach);
            if (pad) pad_to(k, lines_[0][k].end() + 2 * reach + 2);
            const std::int64_t end = lines_[0][k].end();
            const std::int64_t ready = end > reach ? (end - 1 - reach) / 2 + 1 : 0;
            const auto taps = static_cast<std::int64_t>(h.count());
            while (produced_[k] < ready) {
                const std::int64_t j0 = produced_[k];
                const auto n = static_cast<std::size_t>(std::min<std::int64_t>(ready - j0, block));
                W* even = even_.data();
                W* odd = odd_.data();
                for (auto& line : lines_) {
                    const W* x = line[k].at(2 * j0);              // x[2j] of output j0 + j
                    const W* y = line[k].at(2 * (j0 - taps) + 1);  // x[2m + 1], m from j0 - taps
                    for (std::size_t j = 0; j < n; ++j) even[j] = x[2 * j];
                    const std::size_t odd_count = n + 2 * static_cast<std::size_t>(taps) - 1;
                    for (std::size_t m = 0; m < odd_count; ++m) odd[m] = y[2 * m];
                    W* dst = line[k + 1].extend(n);
                    T::half_band(*kernels_, even, odd + taps, T::taps(h), h.count(), n, dst);
                }
                produced_[k] += static_cast<std::int64_t>(n);
            }
            for (auto& line : lines_) line[k].discard_before(2 * produced_[k] - reach);
        }
    }

    void render_block(S* out, std::size_t b) {
        const HqPolyphase& poly = design_->polyphase();
        {
            std::int64_t n = pos_n_;
            std::uint64_t phase = pos_phase_;
            const std::uint64_t q = poly.step_den, part = step_part_;
            const std::int64_t whole = step_whole_;
            std::int64_t* plan_n = plan_n_.data();
            std::uint64_t* plan_phase = plan_phase_.data();
            // With exact rows frame m + Q lies P frames after frame m, in the
            // same phase: the first Q frames are planned, the rest follow.
            const std::size_t planned = poly.table == 0 ? static_cast<std::size_t>(std::min<std::uint64_t>(q, b)) : b;
            for (std::size_t m = 0; m < planned; ++m) {
                plan_n[m] = n;
                plan_phase[m] = phase;
                n += whole;
                phase += part;
                if (phase >= q) {
                    phase -= q;
                    n += 1;
                }
            }
            if (planned < b) {
                const std::uint64_t rest = b - planned;
                const std::uint64_t moved = phase + rest * part;
                n += static_cast<std::int64_t>(rest) * whole + static_cast<std::int64_t>(moved / q);
                phase = moved % q;
            }
            pos_n_ = n;
            pos_phase_ = phase;
        }
        if constexpr (A == HqArithmetic::F64Split) {
            // Split designs have exact rows.
        } else if (poly.table != 0) {
            for (std::uint64_t c = 0; c < channels_; ++c) {
                const Line<W>& line = lines_[c].back();
                for (std::size_t m = 0; m < b; ++m) out[m * channels_ + c] = interpolated(line, m, T::rows(poly), poly.taps);
            }
        }
        if (poly.table == 0) {
            for (std::uint64_t c = 0; c < channels_; ++c) {
                const hq_detail::RowPlan<W> plan{&lines_[c].back(), plan_n_.data(), plan_phase_.data(), first_tap_,
                                                 frames_out_, b};
                hq_detail::render_rows<T>(poly, *kernels_, layout_, plan, channels_, out + c, scratch_.data(),
                                          scratch_b_.data());
            }
        }
        frames_out_ += b;
    }

    // Phase u = phase / Q lies between table rows; four rows around it are
    // applied to the same window and the results interpolated.
    S interpolated(const Line<W>& line, std::size_t m, const typename T::C* rows, std::size_t taps) {
        const HqPolyphase& poly = design_->polyphase();
        const unsigned __int128 scaled = static_cast<unsigned __int128>(plan_phase_[m]) * poly.table;
        const auto index = static_cast<std::size_t>(scaled / poly.step_den);
        const double a = static_cast<double>(static_cast<std::uint64_t>(scaled % poly.step_den)) /
                         static_cast<double>(poly.step_den);
        const W* x = line.at(plan_n_[m] + first_tap_);
        double w[4];
        lagrange4(a, w);
        double v = 0.0;
        for (std::size_t r = 0; r < 4; ++r) {
            T::dot(*kernels_, x, 0, {rows + (index + r) * taps, false, taps}, 1, scratch_.data());
            v += w[r] * static_cast<double>(scratch_[0]);
        }
        return T::out_interpolated(v);
    }

    std::shared_ptr<const HqDesign> design_;
    const HqKernels* kernels_;
    std::uint64_t channels_;
    const HqOverlapSave* blocks_;  // the polyphase stage's blocks, or null: the direct form
    std::shared_ptr<const HqVectorBlocks> vector_blocks_;  // blocks_ with the backend's vectors, or null
    std::int64_t step_whole_ = 0;   // floor(P / Q)
    std::uint64_t step_part_ = 0;   // P mod Q
    std::int64_t first_tap_ = 0;    // oldest tap relative to floor(t_i)
    std::uint64_t history_ = 0;     // frames kept before the next frame's oldest tap
    std::vector<hq_detail::Layout> layout_;  // by output frame mod Q (exact rows)
    std::vector<std::vector<Line<W>>> lines_;  // [channel][stage]
    std::vector<std::int64_t> produced_;       // half-band outputs made, per stage
    std::uint64_t frames_in_ = 0;
    std::uint64_t frames_out_ = 0;
    // Position of the next output frame: floor(t) and (t - floor(t)) Q.
    std::int64_t pos_n_ = 0;
    std::uint64_t pos_phase_ = 0;
    bool padded_ = false;
    // Scratch, not state: copies of the stream start without it.
    hq_detail::Scratch<hq_detail::BlockScratch> block_scratch_;
    hq_detail::Scratch<std::vector<const W*>> starts_;
    hq_detail::Scratch<std::vector<W>> even_, odd_;
    hq_detail::Scratch<std::vector<R>> scratch_, scratch_b_;
    hq_detail::Scratch<std::vector<std::int64_t>> plan_n_;
    hq_detail::Scratch<std::vector<std::uint64_t>> plan_phase_;
};

}  // namespace

template <typename S>
std::shared_ptr<const HqDesign> HqStream<S>::design_for(std::uint32_t input_rate, std::uint32_t output_rate,
                                                        HqPreset preset) {
    HqArithmetic arithmetic = HqArithmetic::I16;
    if constexpr (std::is_same_v<S, float>) arithmetic = preset == HqPreset::Hq ? HqArithmetic::F32 : HqArithmetic::F64;
    return HqDesign::create(input_rate, output_rate, preset, arithmetic, hq_design_loops());
}

template <typename S>
HqStream<S>::HqStream(std::uint32_t input_rate, std::uint32_t output_rate, std::uint64_t channels, HqPreset preset,
                      FirBackend backend)
    : HqStream(design_for(input_rate, output_rate, preset), channels, backend) {}

template <typename S>
HqStream<S>::HqStream(std::shared_ptr<const HqDesign> design, std::uint64_t channels, FirBackend backend) {
    if (channels == 0) fault("studio stream needs at least one channel");
    const HqArithmetic arithmetic = design->arithmetic();
    if constexpr (std::is_same_v<S, float>) {
        if (arithmetic == HqArithmetic::F32) {
            engine_ = std::make_unique<Chain<HqArithmetic::F32>>(std::move(design), channels, backend);
        } else if (arithmetic == HqArithmetic::F64) {
            engine_ = std::make_unique<Chain<HqArithmetic::F64>>(std::move(design), channels, backend);
        } else if (arithmetic == HqArithmetic::F64Split) {
            engine_ = std::make_unique<Chain<HqArithmetic::F64Split>>(std::move(design), channels, backend);
        }
    } else {
        if (arithmetic == HqArithmetic::I16) {
            engine_ = std::make_unique<Chain<HqArithmetic::I16>>(std::move(design), channels, backend);
        }
    }
    if (!engine_) fault("studio design does not match the stream's sample type");
}

template std::shared_ptr<const HqDesign> HqStream<float>::design_for(std::uint32_t, std::uint32_t, HqPreset);
template std::shared_ptr<const HqDesign> HqStream<std::int16_t>::design_for(std::uint32_t, std::uint32_t, HqPreset);
template HqStream<float>::HqStream(std::uint32_t, std::uint32_t, std::uint64_t, HqPreset, FirBackend);
template HqStream<std::int16_t>::HqStream(std::uint32_t, std::uint32_t, std::uint64_t, HqPreset, FirBackend);
template HqStream<float>::HqStream(std::shared_ptr<const HqDesign>, std::uint64_t, FirBackend);
template HqStream<std::int16_t>::HqStream(std::shared_ptr<const HqDesign>, std::uint64_t, FirBackend);

}  // namespace tenvira
