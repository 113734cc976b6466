// Internals of the studio-quality stream (hq_stream.cpp): the per-stage
// frame lines and what differs between the three arithmetics. Included by
// hq_stream.cpp only.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "backend/hq_backend.hpp"
#include "base/memory.hpp"
#include "filter/hq_design.hpp"

namespace tenvira::hq_detail {

// One channel's frames at one stage, by absolute index: frame 0 is the first
// of the stream, and `history` zeros stand before it.
template <typename W>
class Line {
public:
    explicit Line(std::uint64_t history) : first_(-static_cast<std::int64_t>(history)) {
        buf_.assign(static_cast<std::size_t>(history), W{});
    }

    Line(const Line& other) : buf_(other.buf_.begin() + static_cast<std::ptrdiff_t>(other.head_), other.buf_.end()),
                              first_(other.first_) {}
    // Copies the retained frames only, into this line's storage.
    Line& operator=(const Line& other) {
        if (this != &other) {
            buf_.assign(other.buf_.begin() + static_cast<std::ptrdiff_t>(other.head_), other.buf_.end());
            head_ = 0;
            first_ = other.first_;
        }
        return *this;
    }
    Line(Line&&) noexcept = default;
    Line& operator=(Line&&) noexcept = default;

    std::int64_t end() const noexcept { return first_ + static_cast<std::int64_t>(buf_.size() - head_); }
    const W* at(std::int64_t a) const noexcept { return buf_.data() + head_ + (a - first_); }

    // Room for n more frames at the end, which the caller fills.
    W* extend(std::uint64_t n) {
        const std::uint64_t size = buf_.size();
        check_allocation(checked_byte_size(size + n, sizeof(W)));
        buf_.resize(static_cast<std::size_t>(size + n));
        return buf_.data() + size;
    }

    // Appends n frames, converted to W.
    template <typename S>
    void append(const S* x, std::uint64_t n) {
        check_allocation(checked_byte_size(buf_.size() + n, sizeof(W)));
        buf_.insert(buf_.end(), x, x + n);
    }

    // Drops the frames before a; memory is reclaimed once half the buffer
    // is dead, so the line stays as long as what is still read.
    void discard_before(std::int64_t a) noexcept {
        a = std::min(a, end());
        if (a <= first_) return;
        head_ += static_cast<std::size_t>(a - first_);
        first_ = a;
        if (head_ >= 4096 && 2 * head_ >= buf_.size()) {
            buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }

private:
    std::vector<W> buf_;
    std::size_t head_ = 0;
    std::int64_t first_;
};

template <HqArithmetic A>
struct Arith;

template <>
struct Arith<HqArithmetic::F32> {
    using S = float;
    using W = float;  // frames between stages
    using C = float;  // coefficients
    using R = float;  // sums
    static const C* rows(const HqPolyphase& p) noexcept { return p.rows_f32.data(); }
    static const C* taps(const HqHalfBand& h) noexcept { return h.taps_f32.data(); }
    static void dot(const HqKernels& k, const W* x, std::size_t step, const HqRow<C>& row, std::size_t count,
                    R* out) noexcept {
        k.rows_f32(x, step, row, count, out);
    }
    static void dot2(const HqKernels& k, const W* x, std::size_t step, const HqRow<C>& a, const HqRow<C>& b, std::size_t count,
                     R* out_a, R* out_b) noexcept {
        k.rows2_f32(x, step, a, b, count, out_a, out_b);
    }
    static void half_band(const HqKernels& k, const W* even, const W* odd, const C* c, std::size_t taps,
                          std::size_t n, W* out) noexcept {
        k.half_band_f32(even, odd, c, taps, 0.5f, n, out);
    }
    static W in(S x) noexcept { return x; }
    static S out(R r) noexcept { return r; }
    static S out_interpolated(double v) noexcept { return static_cast<float>(v); }
    static S out_block(double v) noexcept { return static_cast<float>(v); }
};

template <>
struct Arith<HqArithmetic::F64> {
    using S = float;
    using W = double;
    using C = double;
    using R = double;
    static const C* rows(const HqPolyphase& p) noexcept { return p.rows_f64.data(); }
    static const C* taps(const HqHalfBand& h) noexcept { return h.taps_f64.data(); }
    static void dot(const HqKernels& k, const W* x, std::size_t step, const HqRow<C>& row, std::size_t count,
                    R* out) noexcept {
        k.rows_f64(x, step, row, count, out);
    }
    static void dot2(const HqKernels& k, const W* x, std::size_t step, const HqRow<C>& a, const HqRow<C>& b, std::size_t count,
                     R* out_a, R* out_b) noexcept {
        k.rows2_f64(x, step, a, b, count, out_a, out_b);
    }
    static void half_band(const HqKernels& k, const W* even, const W* odd, const C* c, std::size_t taps,
                          std::size_t n, W* out) noexcept {
        k.half_band_f64(even, odd, c, taps, 0.5, n, out);
    }
    static W in(S x) noexcept { return x; }
    static S out(R r) noexcept { return static_cast<float>(r); }
    static S out_interpolated(double v) noexcept { return static_cast<float>(v); }
    static S out_block(double v) noexcept { return static_cast<float>(v); }
};

// float32 frames, split rows (HqPolyphase::rows_centre) and float64 sums;
// the rest as at float32 (the design has no half-band stages and no
// blocks).
template <>
struct Arith<HqArithmetic::F64Split> : Arith<HqArithmetic::F32> {
    using R = double;
    static constexpr bool split_rows = true;
    static void dot(const HqKernels& k, const W* x, std::size_t step, const HqSplitRow& row, std::size_t count,
                    R* out) noexcept {
        k.rows_split(x, step, row, count, out);
    }
    static void dot2(const HqKernels& k, const W* x, std::size_t step, const HqSplitRow& a, const HqSplitRow& b,
                     std::size_t count, R* out_a, R* out_b) noexcept {
        k.rows2_split(x, step, a, b, count, out_a, out_b);
    }
    static S out(R r) noexcept { return static_cast<float>(r); }
};

// int16 samples held as float64 and, in the direct form, 32-bit integer
// coefficients, converted to float64 as the kernels load them: the products and every partial sum are exact integers
// (see hq_design.cpp), so the float64 kernels return the exact sum, whatever
// their order, on every backend. Overlap-save blocks sum in float64 instead,
// with the same operations in the same order on every backend. Frames are
// held in units of 2^-g of an int16 step (g the design's guard bits); each
// half-band stage rounds its sum to that grid.
template <>
struct Arith<HqArithmetic::I16> {
    using S = std::int16_t;
    using W = double;
    using C = std::int32_t;
    using R = double;  // exact integer sums in units of 2^-(30 + g)
    static constexpr int g = HqDesign::int16_guard_bits;
    // floor(x + 1/2) for |x| < 2^52, inline (std::floor is a library call
    // on the baseline ISA): the conversion truncates, which floor corrects
    // for negative values.
    static double round_half_up(double x) noexcept {
        const double y = x + 0.5;
        const auto t = static_cast<double>(static_cast<std::int64_t>(y));
        return t > y ? t - 1.0 : t;
    }
    static const C* rows(const HqPolyphase& p) noexcept { return p.rows_i32.data(); }
    static const double* taps(const HqHalfBand& h) noexcept { return h.taps_f64.data(); }
    static void dot(const HqKernels& k, const W* x, std::size_t step, const HqRow<C>& row, std::size_t count,
                    R* out) noexcept {
        k.rows_i32(x, step, row, count, out);
    }
    static void dot2(const HqKernels& k, const W* x, std::size_t step, const HqRow<C>& a, const HqRow<C>& b, std::size_t count,
                     R* out_a, R* out_b) noexcept {
        k.rows2_i32(x, step, a, b, count, out_a, out_b);
    }
    // The exact sum in units of 2^-30 of the grid, rounded to the grid
    // (nearest, halves up).
    static void half_band(const HqKernels& k, const W* even, const W* odd, const double* c, std::size_t taps,
                          std::size_t n, W* out) noexcept {
        k.half_band_f64(even, odd, c, taps, 0x1p29, n, out);
        for (std::size_t j = 0; j < n; ++j) out[j] = round_half_up(out[j] * 0x1p-30);
    }
    static W in(S x) noexcept { return static_cast<double>(x) * (1 << g); }
    // Rounded to nearest, halves up, and saturated.
    static S out(R r) noexcept {
        const auto sum = static_cast<std::int64_t>(r);
        const std::int64_t q = (sum >> (30 + g)) + ((sum >> (29 + g)) & 1);
        return static_cast<S>(std::clamp<std::int64_t>(q, -32768, 32767));
    }
    static S out_interpolated(double v) noexcept {
        const double q = round_half_up(v * (1.0 / static_cast<double>(std::int64_t{1} << (30 + g))));
        return static_cast<S>(std::clamp(q, -32768.0, 32767.0));
    }
    // An overlap-save block's float64 sum, in units of the grid.
    static S out_block(double v) noexcept {
        const double q = round_half_up(v * (1.0 / (1 << g)));
        return static_cast<S>(std::clamp(q, -32768.0, 32767.0));
    }
};

// Working storage of a stream: a copy of the stream starts without it.
template <typename V>
struct Scratch : V {
    Scratch() = default;
    Scratch(const Scratch&) : V() {}
    Scratch& operator=(const Scratch&) { return *this; }
    Scratch(Scratch&&) noexcept = default;
    Scratch& operator=(Scratch&&) noexcept = default;
};

// Scratch of the overlap-save blocks.
struct BlockScratch {
    std::vector<double> work, y;
};

// Writes output frames [from, from + n) of the stream, interleaved, to
// `out`, computing the overlap-save blocks they belong to from the polyphase
// stage's lines (line.back() of every channel), which hold every frame those
// blocks read. A block of which only part is written is computed whole: the
// rest is computed again, identically, when its turn comes.
// `runner` computes the blocks: `f` itself, or `f` with a backend's vectors.
template <typename T, typename W, typename S, typename Runner>
void render_blocks(const HqOverlapSave& f, const Runner& runner, const std::vector<std::vector<Line<W>>>& lines,
                   std::int64_t first_tap, std::uint64_t from, std::uint64_t n, S* out, BlockScratch& scratch,
                   std::vector<const W*>& starts) {
    const std::size_t channels = lines.size();
    const auto per_block = static_cast<std::size_t>(f.outputs());
    scratch.work.resize(runner.work_size(channels));
    scratch.y.resize(per_block * channels);
    starts.resize(channels);
    const double* y = scratch.y.data();
    for (std::uint64_t done = 0; done < n;) {
        const std::uint64_t k = (from + done) / per_block;
        const auto skip = static_cast<std::size_t>((from + done) % per_block);
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(per_block - skip, n - done));
        const auto base = static_cast<std::int64_t>(k * f.stride()) + first_tap;
        for (std::size_t c = 0; c < channels; ++c) starts[c] = lines[c].back().at(base);
        runner.run(channels, starts.data(), scratch.work.data(), scratch.y.data());
        S* dst = out + done * channels;
        for (std::size_t c = 0; c < channels; ++c) {
            const double* v = y + c * per_block + skip;
            for (std::size_t i = 0; i < count; ++i) dst[i * channels + c] = T::out_block(v[i]);
        }
        done += count;
    }
}

// Weights of the 4-point Lagrange interpolation at a in [0, 1) between
// samples at -1, 0, 1, 2.
inline void lagrange4(double a, double w[4]) noexcept {
    w[0] = -a * (a - 1.0) * (a - 2.0) / 6.0;
    w[1] = (a + 1.0) * (a - 1.0) * (a - 2.0) / 2.0;
    w[2] = -(a + 1.0) * a * (a - 2.0) / 2.0;
    w[3] = (a + 1.0) * a * (a - 1.0) / 6.0;
}

}  // namespace tenvira::hq_detail
