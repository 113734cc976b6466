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

void dot_f32_scalar_batch(const float* const* windows, const float* const* rows, std::size_t n, std::size_t count,
                          float* out, std::size_t stride) noexcept {
    std::size_t d = 0;
    // Four independent sequential sums side by side.
    for (; d + 4 <= count; d += 4) {
        const float *w0 = windows[d], *w1 = windows[d + 1], *w2 = windows[d + 2], *w3 = windows[d + 3];
        const float *c0 = rows[d], *c1 = rows[d + 1], *c2 = rows[d + 2], *c3 = rows[d + 3];
        float a0 = 0.0f, a1 = 0.0f, a2 = 0.0f, a3 = 0.0f;
        for (std::size_t i = 0; i < n; ++i) {
            const float p0 = w0[i] * c0[i];
            const float p1 = w1[i] * c1[i];
            const float p2 = w2[i] * c2[i];
            const float p3 = w3[i] * c3[i];
            a0 = a0 + p0;
            a1 = a1 + p1;
            a2 = a2 + p2;
            a3 = a3 + p3;
        }
        out[d * stride] = a0;
        out[(d + 1) * stride] = a1;
        out[(d + 2) * stride] = a2;
        out[(d + 3) * stride] = a3;
    }
    for (; d < count; ++d) out[d * stride] = dot_f32_scalar(windows[d], rows[d], n);
}

void dot_f32_scalar_shared(const float* const* windows, std::size_t step, const float* row, std::size_t n,
                           std::size_t count, float* out, std::size_t stride) noexcept {
    for (std::size_t d = 0; d < count; ++d) out[d * stride] = dot_f32_scalar(windows[d * step], row, n);
}

void dot_i16_q15_scalar_shared(const std::int16_t* const* windows, std::size_t step, const std::int16_t* row,
                               std::size_t n, std::size_t count, std::int64_t* out) noexcept {
    for (std::size_t d = 0; d < count; ++d) out[d] = dot_i16_q15_scalar(windows[d * step], row, n);
}

void dot_i16_q15_scalar_batch(const std::int16_t* const* windows, const std::int16_t* const* rows, std::size_t n,
                              std::size_t count, std::int64_t* out) noexcept {
    for (std::size_t d = 0; d < count; ++d) out[d] = dot_i16_q15_scalar(windows[d], rows[d], n);
}

std::size_t plan_frames_scalar(double p, double d, std::size_t count, std::int64_t bound, double phases,
                               std::uint64_t last_phase, const unsigned char* base, std::size_t row_bytes,
                               std::int64_t* w, const void** rows) noexcept {
    for (std::size_t k = 0; k < count; ++k) {
        const double q = p + static_cast<double>(k) * d;
        const auto whole = static_cast<std::int64_t>(q);
        if (whole >= bound) return k;
        const double frac = q - static_cast<double>(whole);
        const auto phase = static_cast<std::uint64_t>(static_cast<std::int64_t>(frac * phases));
        w[k] = whole;
        rows[k] = base + (phase < last_phase ? phase : last_phase) * row_bytes;
    }
    return count;
}

void columns_f32_scalar(float* out, const float* centre, float c0, const float* const* sources, const float* coeffs,
                        std::size_t taps, std::size_t n) noexcept {
    for (std::size_t f = 0; f < n; ++f) out[f] = centre != nullptr ? centre[f] * c0 : 0.0f;
    for (std::size_t j = 0; j < taps; ++j) {
        const float* x = sources[j];
        const float c = coeffs[j];
        for (std::size_t f = 0; f < n; ++f) {
            const float product = x[f] * c;
            out[f] = out[f] + product;
        }
    }
}

void columns_i16_scalar(std::int64_t* out, const std::int16_t* centre, std::int16_t c0,
                        const std::int16_t* const* sources, const std::int16_t* coeffs, const std::size_t* group_ends,
                        std::size_t groups, std::size_t n) noexcept {
    const std::size_t taps = groups == 0 ? 0 : group_ends[groups - 1];
    for (std::size_t f = 0; f < n; ++f) out[f] = centre != nullptr ? std::int64_t{centre[f]} * c0 : 0;
    for (std::size_t j = 0; j < taps; ++j) {
        const std::int16_t* x = sources[j];
        const std::int64_t c = coeffs[j];
        for (std::size_t f = 0; f < n; ++f) out[f] += x[f] * c;
    }
}

}  // namespace tenvira
