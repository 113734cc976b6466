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

}  // namespace tenvira
