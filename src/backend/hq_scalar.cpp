// The reference kernels of the studio-quality presets; every other kernel is
// checked against these.
#include "backend/hq_kernels.hpp"

#include <cstddef>
#include <cstdint>

namespace tenvira {

namespace {

template <typename T>
T coefficient(const HqRow<T>& row, std::size_t t) {
    return row.backward ? row.at[-static_cast<std::ptrdiff_t>(t)] : row.at[t];
}

double coefficient(const HqSplitRow& row, std::size_t t) {
    if (t >= row.begin && t < row.end) {
        const std::size_t u = t - row.begin;
        return row.backward ? row.centre[-static_cast<std::ptrdiff_t>(u)] : row.centre[u];
    }
    return row.backward ? row.at[-static_cast<std::ptrdiff_t>(t)] : row.at[t];
}

}  // namespace

void hq_rows_f32_scalar(const float* x, std::size_t step, const HqRow<float>& row, std::size_t count, float* out) noexcept {
    for (std::size_t k = 0; k < count; ++k) {
        const float* w = x + k * step;
        double acc = 0.0;
        for (std::size_t t = 0; t < row.n; ++t) {
            const double product = static_cast<double>(w[t]) * static_cast<double>(coefficient(row, t));
            acc = acc + product;
        }
        out[k] = static_cast<float>(acc);
    }
}

void hq_rows_f64_scalar(const double* x, std::size_t step, const HqRow<double>& row, std::size_t count,
                        double* out) noexcept {
    for (std::size_t k = 0; k < count; ++k) {
        const double* w = x + k * step;
        double acc = 0.0;
        for (std::size_t t = 0; t < row.n; ++t) {
            const double product = w[t] * coefficient(row, t);
            acc = acc + product;
        }
        out[k] = acc;
    }
}

void hq_rows_i32_scalar(const double* x, std::size_t step, const HqRow<std::int32_t>& row, std::size_t count,
                        double* out) noexcept {
    for (std::size_t k = 0; k < count; ++k) {
        const double* w = x + k * step;
        double acc = 0.0;
        for (std::size_t t = 0; t < row.n; ++t) {
            const double product = w[t] * static_cast<double>(coefficient(row, t));
            acc = acc + product;
        }
        out[k] = acc;
    }
}

void hq_rows2_i32_scalar(const double* x, std::size_t step, const HqRow<std::int32_t>& a, const HqRow<std::int32_t>& b,
                         std::size_t count, double* out_a, double* out_b) noexcept {
    hq_rows_i32_scalar(x, step, a, count, out_a);
    hq_rows_i32_scalar(x, step, b, count, out_b);
}

void hq_rows2_f32_scalar(const float* x, std::size_t step, const HqRow<float>& a, const HqRow<float>& b, std::size_t count,
                         float* out_a, float* out_b) noexcept {
    hq_rows_f32_scalar(x, step, a, count, out_a);
    hq_rows_f32_scalar(x, step, b, count, out_b);
}

void hq_rows2_f64_scalar(const double* x, std::size_t step, const HqRow<double>& a, const HqRow<double>& b, std::size_t count,
                         double* out_a, double* out_b) noexcept {
    hq_rows_f64_scalar(x, step, a, count, out_a);
    hq_rows_f64_scalar(x, step, b, count, out_b);
}

void hq_rows_split_scalar(const float* x, std::size_t step, const HqSplitRow& row, std::size_t count,
                          double* out) noexcept {
    for (std::size_t k = 0; k < count; ++k) {
        const float* w = x + k * step;
        double acc = 0.0;
        for (std::size_t t = 0; t < row.n; ++t) {
            const double product = static_cast<double>(w[t]) * coefficient(row, t);
            acc = acc + product;
        }
        out[k] = acc;
    }
}

void hq_rows2_split_scalar(const float* x, std::size_t step, const HqSplitRow& a, const HqSplitRow& b,
                           std::size_t count, double* out_a, double* out_b) noexcept {
    hq_rows_split_scalar(x, step, a, count, out_a);
    hq_rows_split_scalar(x, step, b, count, out_b);
}

void hq_half_band_f32_scalar(const float* even, const float* odd, const float* coeffs, std::size_t taps,
                             float centre, std::size_t n, float* out) noexcept {
    const auto m = static_cast<std::ptrdiff_t>(taps);
    for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(n); ++j) {
        double acc = static_cast<double>(centre) * static_cast<double>(even[j]);
        for (std::ptrdiff_t k = 0; k < m; ++k) {
            const float pair = odd[j - k - 1] + odd[j + k];
            const double product = static_cast<double>(coeffs[k]) * static_cast<double>(pair);
            acc = acc + product;
        }
        out[j] = static_cast<float>(acc);
    }
}

void hq_half_band_f64_scalar(const double* even, const double* odd, const double* coeffs, std::size_t taps,
                             double centre, std::size_t n, double* out) noexcept {
    const auto m = static_cast<std::ptrdiff_t>(taps);
    for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(n); ++j) {
        double acc = centre * even[j];
        for (std::ptrdiff_t k = 0; k < m; ++k) {
            const double pair = odd[j - k - 1] + odd[j + k];
            const double product = coeffs[k] * pair;
            acc = acc + product;
        }
        out[j] = acc;
    }
}

}  // namespace tenvira
