// The reference kernels. Every other kernel is checked against these.
#include "backend/kernels.hpp"

namespace tenvira {

float dot_f32_scalar(const float* window, const float* coeffs, std::size_t n) noexcept {
    float acc = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float product = window[i] * coeffs[i];
        acc = acc + product;
    }
    return acc;
}

std::int64_t dot_i16_q15_scalar(const std::int16_t* window, const std::int16_t* coeffs, std::size_t n) noexcept {
    std::int64_t acc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        acc += static_cast<std::int64_t>(window[i]) * static_cast<std::int64_t>(coeffs[i]);
    }
    return acc;
}

void dot_f32_scalar_batch(const F32Batch& b) noexcept {
    std::size_t d = 0;
    // Four independent sequential sums side by side.
    for (; d + 4 <= b.count; d += 4) {
        const float *w0 = b.windows[d], *w1 = b.windows[d + 1], *w2 = b.windows[d + 2], *w3 = b.windows[d + 3];
        const float *c0 = b.rows[d], *c1 = b.rows[d + 1], *c2 = b.rows[d + 2], *c3 = b.rows[d + 3];
        float a0 = 0.0f, a1 = 0.0f, a2 = 0.0f, a3 = 0.0f;
        for (std::size_t i = 0; i < b.taps; ++i) {
            const float p0 = w0[i] * c0[i];
            const float p1 = w1[i] * c1[i];
            const float p2 = w2[i] * c2[i];
            const float p3 = w3[i] * c3[i];
            a0 = a0 + p0;
            a1 = a1 + p1;
            a2 = a2 + p2;
            a3 = a3 + p3;
        }
        b.out[d * b.stride] = a0;
        b.out[(d + 1) * b.stride] = a1;
        b.out[(d + 2) * b.stride] = a2;
        b.out[(d + 3) * b.stride] = a3;
    }
    for (; d < b.count; ++d) b.out[d * b.stride] = dot_f32_scalar(b.windows[d], b.rows[d], b.taps);
}

void dot_i16_q15_scalar_batch(const I16Batch& b) noexcept {
    for (std::size_t d = 0; d < b.count; ++d) b.out[d] = dot_i16_q15_scalar(b.windows[d], b.rows[d], b.taps);
}

void dot_f32_scalar_shared(const F32SharedBatch& b) noexcept {
    for (std::size_t d = 0; d < b.count; ++d) b.out[d * b.stride] = dot_f32_scalar(b.windows[d * b.step], b.row, b.taps);
}

void dot_i16_q15_scalar_shared(const I16SharedBatch& b) noexcept {
    for (std::size_t d = 0; d < b.count; ++d) b.out[d] = dot_i16_q15_scalar(b.windows[d * b.step], b.row, b.taps);
}

std::size_t plan_frames_scalar_from(const PlanRun& run, std::size_t from) noexcept {
    for (std::size_t k = from; k < run.count; ++k) {
        const double q = run.start + static_cast<double>(k) * run.step;
        const auto whole = static_cast<std::int64_t>(q);
        if (whole >= run.bound) return k;
        const double frac = q - static_cast<double>(whole);
        const auto phase = static_cast<std::uint64_t>(static_cast<std::int64_t>(frac * run.phases));
        run.whole[k] = whole;
        run.phase[k] = static_cast<std::uint32_t>(phase < run.last_phase ? phase : run.last_phase);
    }
    return run.count;
}

std::size_t plan_frames_scalar(const PlanRun& run) noexcept { return plan_frames_scalar_from(run, 0); }

void columns_f32_scalar(const F32Columns& c) noexcept {
    for (std::size_t f = 0; f < c.frames; ++f) c.out[f] = c.centre != nullptr ? c.centre[f] * c.centre_coeff : 0.0f;
    for (std::size_t j = 0; j < c.taps; ++j) {
        const float* x = c.sources[j];
        const float k = c.coeffs[j];
        for (std::size_t f = 0; f < c.frames; ++f) {
            const float product = x[f] * k;
            c.out[f] = c.out[f] + product;
        }
    }
}

void columns_i16_scalar(const I16Columns& c) noexcept {
    const std::size_t taps = c.groups == 0 ? 0 : c.group_ends[c.groups - 1];
    for (std::size_t f = 0; f < c.frames; ++f) {
        c.out[f] = c.centre != nullptr ? std::int64_t{c.centre[f]} * c.centre_coeff : 0;
    }
    for (std::size_t j = 0; j < taps; ++j) {
        const std::int16_t* x = c.sources[j];
        const std::int64_t k = c.coeffs[j];
        for (std::size_t f = 0; f < c.frames; ++f) c.out[f] += x[f] * k;
    }
}

}  // namespace tenvira
