// What differs between the float32 and the int16 engine: the coefficient
// arrays they read, the kernels they call, and how a sum becomes a sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "backend/fir_backend.hpp"
#include "filter/filter_bank.hpp"

namespace tenvira {

// Rounds a Q15-scaled accumulator to int16: (acc + 2^14) >> 15, clamped.
std::int16_t q15_out(std::int64_t acc) noexcept;
// The int16 result of the IIR paths: roundf, then clamped.
std::int16_t iir_to_i16(float y) noexcept;

template <typename S>
struct SampleTraits;

// float32: float32 coefficients and sums; a sum is the sample.
template <>
struct SampleTraits<float> {
    using Coeff = float;
    using Acc = float;

    static const AlignedBuffer<float>& rows(const PolyphaseRows& b) { return b.coeffs_f32; }
    static const AlignedBuffer<float>& coeffs(const HalfBandFilter& h) { return h.coeffs_f32; }
    static const AlignedBuffer<float>& coeffs_x2(const HalfBandFilter& h) { return h.coeffs_x2_f32; }
    static const AlignedBuffer<float>& coeffs(const ThirdBandFilter& t) { return t.coeffs_f32; }
    template <typename F>
    static float center(const F& f) { return f.center_f32; }

    static float output(Acc acc) { return acc; }

    // Renders `count` frames of one channel straight into the interleaved
    // output (stride = channel count); `results` is not needed.
    static void dot_frames(const Kernels& k, const float* const* windows, const float* const* rows, std::size_t taps,
                           std::size_t count, float* out, std::size_t stride, Acc*) {
        k.f32.batch(F32Batch{windows, rows, taps, count, out, stride});
    }
    // The same for frames whose rows repeat with `period`: frame f reads
    // rows[f % period].
    static void dot_cycle_frames(const Kernels& k, const float* const* windows, const float* const* rows,
                                 std::size_t period, std::size_t taps, std::size_t count, float* out, std::size_t stride,
                                 Acc*) {
        k.f32.cycle(F32CycleBatch{windows, rows, period, taps, count, out, stride});
    }
    // The fixed paths' sums of `frames` frames; no grouping is needed.
    static void columns(const Kernels& k, Acc* out, const float* centre, Coeff c0, const float* const* sources,
                        const Coeff* coeffs, std::size_t taps, std::size_t frames, const std::vector<std::size_t>&) {
        k.columns.f32(F32Columns{out, centre, c0, sources, coeffs, taps, frames});
    }

    // The IIR converter runs in float32: samples pass unchanged.
    static float to_iir(float x) { return x; }
    static float from_iir(float y) { return y; }
};

// int16: Q15 coefficients, exact 64-bit sums, one rounding per sample.
template <>
struct SampleTraits<std::int16_t> {
    using Coeff = std::int16_t;
    using Acc = std::int64_t;

    static const AlignedBuffer<std::int16_t>& rows(const PolyphaseRows& b) { return b.coeffs_q15; }
    static const AlignedBuffer<std::int16_t>& coeffs(const HalfBandFilter& h) { return h.coeffs_q15; }
    static const AlignedBuffer<std::int16_t>& coeffs_x2(const HalfBandFilter& h) { return h.coeffs_x2_q15; }
    static const AlignedBuffer<std::int16_t>& coeffs(const ThirdBandFilter& t) { return t.coeffs_q15; }
    template <typename F>
    static std::int16_t center(const F& f) { return f.center_q15; }

    static std::int16_t output(Acc acc) { return q15_out(acc); }

    static void dot_frames(const Kernels& k, const std::int16_t* const* windows, const std::int16_t* const* rows,
                           std::size_t taps, std::size_t count, std::int16_t* out, std::size_t stride, Acc* results) {
        k.i16.batch(I16Batch{windows, rows, taps, count, results});
        for (std::size_t f = 0; f < count; ++f) out[f * stride] = output(results[f]);
    }
    // Row by row: frames r, r + period, ... share row r.
    static void dot_cycle_frames(const Kernels& k, const std::int16_t* const* windows, const std::int16_t* const* rows,
                                 std::size_t period, std::size_t taps, std::size_t count, std::int16_t* out,
                                 std::size_t stride, Acc* results) {
        for (std::size_t r = 0; r < period && r < count; ++r) {
            const std::size_t frames = (count - r + period - 1) / period;
            k.i16.shared(I16SharedBatch{windows + r, period, rows[r], taps, frames, results});
            for (std::size_t f = 0; f < frames; ++f) out[(r + f * period) * stride] = output(results[f]);
        }
    }
    // The taps go in groups whose partial sums fit 32 bits (`group_ends`).
    static void columns(const Kernels& k, Acc* out, const std::int16_t* centre, Coeff c0,
                        const std::int16_t* const* sources, const Coeff* coeffs, std::size_t, std::size_t frames,
                        const std::vector<std::size_t>& group_ends) {
        k.columns.i16(I16Columns{out, centre, c0, sources, coeffs, group_ends.data(), group_ends.size(), frames});
    }

    // Samples enter the IIR converter by value and leave rounded and clamped.
    static float to_iir(std::int16_t x) { return static_cast<float>(x); }
    static std::int16_t from_iir(float y) { return iir_to_i16(y); }
};

}  // namespace tenvira
