#include "filter/hq_fft.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#define POCKETFFT_NO_MULTITHREADING
#include "pocketfft/pocketfft_hdronly.h"

namespace tenvira {

namespace {

using pocketfft::detail::pocketfft_r;

#ifndef POCKETFFT_NO_VECTORS
// Two sequences in the lanes of one vector: the transforms' arithmetic per
// lane is the scalar one, so a result does not depend on which lane, or
// whether a lane, carried it.
using Pair = pocketfft::detail::vtype_t<double>;
constexpr bool have_pairs = pocketfft::detail::VLEN<double>::val == 2;
#else
using Pair = double;
constexpr bool have_pairs = false;
#endif

// Transforms the two sequences of n doubles interleaved at `pair` (lanes
// 0 and 1) in place: in the lanes of one vector, or one after the other
// through `temp` (n doubles) where the build has no vector type.
void transform_pair(const pocketfft_r<double>& plan, bool forward, double* pair, std::size_t n, double* temp) {
    if constexpr (have_pairs) {
        plan.exec(reinterpret_cast<Pair*>(pair), 1.0, forward);
    } else {
        for (std::size_t l = 0; l < 2; ++l) {
            for (std::size_t j = 0; j < n; ++j) temp[j] = pair[2 * j + l];
            plan.exec(temp, 1.0, forward);
            for (std::size_t j = 0; j < n; ++j) pair[2 * j + l] = temp[j];
        }
    }
}

// acc (+)= v * a for `lanes` items interleaved in pairs (v, acc) against
// one half-complex spectrum a of n doubles.
template <bool Add, std::size_t lanes>
void multiply_spectra(const double* v, const double* a, std::size_t n, double* acc) {
    const auto put = [](double& to, double value) { to = Add ? to + value : value; };
    for (std::size_t l = 0; l < lanes; ++l) {
        put(acc[l], v[l] * a[0]);
        put(acc[2 * n - 2 + l], v[2 * n - 2 + l] * a[n - 1]);
    }
    for (std::size_t k = 1; k + 1 < n; k += 2) {
        const double ar = a[k], ai = a[k + 1];
        for (std::size_t l = 0; l < lanes; ++l) {
            const double xr = v[2 * k + l], xi = v[2 * k + 2 + l];
            put(acc[2 * k + l], xr * ar - xi * ai);
            put(acc[2 * k + 2 + l], xr * ai + xi * ar);
        }
    }
}

// Time of one real transform of n frames, ns on the reference machine; a
// pair of them in the lanes of one vector takes about 1.25 times that.
double transform_cost(std::uint64_t n) {
    const double ln = std::log2(static_cast<double>(n));
    const bool odd_radix = n % 3 == 0 || n % 5 == 0;
    return (odd_radix ? 0.27 : 0.23) * static_cast<double>(n) * ln + 100.0;
}

double transforms_cost(std::uint64_t count, std::uint64_t n) {
    return (have_pairs ? 1.25 * static_cast<double>((count + 1) / 2) : static_cast<double>(count)) *
           transform_cost(n);
}

// Longest phase filter: taps of a row shifted by up to floor((Q - 1) P / Q),
// every P-th of them.
std::uint64_t phase_length(std::uint64_t taps, std::uint64_t p, std::uint64_t q) noexcept {
    return ((q - 1) * p / q + taps - 1) / p + 1;
}

}  // namespace

struct HqOverlapSave::Plans {
    pocketfft_r<double> plan;
    explicit Plans(std::uint64_t n) : plan(n) {}
};

std::uint64_t HqOverlapSave::groups_for(std::uint64_t size, std::uint64_t taps, std::uint64_t p,
                                        std::uint64_t q) noexcept {
    const std::uint64_t n = size / p;
    const std::uint64_t length = phase_length(taps, p, q);
    return n < length ? 0 : n - length + 1;
}

double HqOverlapSave::cost_per_output(std::uint64_t size, std::uint64_t taps, std::uint64_t p,
                                      std::uint64_t q) noexcept {
    const std::uint64_t groups = groups_for(size, taps, p, q);
    if (groups == 0) return 1e300;
    const std::uint64_t n = size / p;
    // Mono: P forward and Q inverse transforms of n frames, P Q products of
    // spectra, the phases split and the frames gathered.
    const double per_block = transforms_cost(p, n) + transforms_cost(q, n) +
                             0.6 * static_cast<double>(p * q * n) + 0.5 * static_cast<double>(size + q * n);
    return per_block / static_cast<double>(groups * q);
}

HqOverlapSave::HqOverlapSave(const double* rows, std::uint64_t taps, std::uint64_t p, std::uint64_t q,
                             std::uint64_t size)
    : p_(p), q_(q), size_(size), groups_(groups_for(size, taps, p, q)), plans_(std::make_unique<Plans>(size / p)) {
    const std::uint64_t n = size / p;
    std::vector<double> spectra(static_cast<std::size_t>(q * p * n));
    const double scale = 1.0 / static_cast<double>(n);
    for (std::uint64_t s = 0; s < q; ++s) {
        // Row sP mod Q, shifted by floor(sP / Q): frame j of phase s reads
        // frames jP .. of the block.
        const double* row = rows + (s * p % q) * taps;
        const std::uint64_t shift = s * p / q;
        for (std::uint64_t r = 0; r < p; ++r) {
            double* a = spectra.data() + (s * p + r) * n;
            for (std::uint64_t i = 0; i < n; ++i) {
                const std::uint64_t m = i * p + r;  // tap m - shift of the row
                a[i] = m >= shift && m - shift < taps ? row[m - shift] * scale : 0.0;
            }
            plans_->plan.exec(a, 1.0, true);
            for (std::uint64_t k = 2; k + 1 < n; k += 2) a[k] = -a[k];  // conjugate: a correlation
        }
    }
    spectra_ = AlignedBuffer<double>(std::span<const double>(spectra));
}

HqOverlapSave::HqOverlapSave(HqOverlapSave&&) noexcept = default;
HqOverlapSave& HqOverlapSave::operator=(HqOverlapSave&&) noexcept = default;
HqOverlapSave::~HqOverlapSave() = default;

std::size_t HqOverlapSave::byte_size() const noexcept {
    // The plan holds its twiddle factors, about one value per frame.
    return spectra_.byte_size() + static_cast<std::size_t>(size_ / p_ * sizeof(double));
}

std::size_t HqOverlapSave::work_size(std::size_t channels) const noexcept {
    const auto n = static_cast<std::size_t>(size_ / p_);
    const std::size_t ins = channels * static_cast<std::size_t>(p_), outs = channels * static_cast<std::size_t>(q_);
    return ((ins + 1) / 2 + (outs + 1) / 2) * 2 * n + n;
}

// Sequences ("items") of n doubles live two to a pair of lanes: item i in
// lane i % 2 of pair i / 2, element j at pair + 2 j + lane. Input items are
// phase r of channel c at i = r C + c, output items s of channel c at
// i = s C + c, so that with an even channel count the channels c, c + 1 of
// one phase share a pair, and their products of spectra run in its lanes.
template <typename W>
void HqOverlapSave::run(std::size_t channels, const W* const* x, double* work, double* y) const {
    const auto n = static_cast<std::size_t>(size_ / p_);
    const auto p = static_cast<std::size_t>(p_), q = static_cast<std::size_t>(q_);
    const std::size_t ins = channels * p, outs = channels * q;
    double* in_pairs = work;
    double* out_pairs = in_pairs + (ins + 1) / 2 * 2 * n;
    double* temp = out_pairs + (outs + 1) / 2 * 2 * n;
    const auto item = [n](double* pairs, std::size_t i) { return pairs + i / 2 * 2 * n + i % 2; };

    for (std::size_t i = 0; i < ins; ++i) {
        const W* from = x[i % channels] + i / channels;
        double* d = item(in_pairs, i);
        for (std::size_t j = 0; j < n; ++j) d[2 * j] = static_cast<double>(from[j * p]);
    }
    if (ins % 2 != 0) {
        double* d = item(in_pairs, ins);
        for (std::size_t j = 0; j < n; ++j) d[2 * j] = 0.0;
    }
    for (std::size_t k = 0; k < (ins + 1) / 2; ++k) transform_pair(plans_->plan, true, in_pairs + k * 2 * n, n, temp);

    // Products of half-complex spectra, summed over the phases: bin 0, then
    // (re, im) pairs, then the real bin n / 2; two lanes at a time where
    // both lanes' items take the same spectrum.
    const std::size_t lanes = channels % 2 == 0 ? 2 : 1;
    for (std::size_t o = 0; o < outs; o += lanes) {
        const std::size_t s = o / channels, c = o % channels;
        double* acc = item(out_pairs, o);
        for (std::size_t r = 0; r < p; ++r) {
            const double* v = item(in_pairs, r * channels + c);
            const double* a = spectra_.data() + (s * p + r) * n;
            if (lanes == 2) {
                r == 0 ? multiply_spectra<false, 2>(v, a, n, acc) : multiply_spectra<true, 2>(v, a, n, acc);
            } else {
                r == 0 ? multiply_spectra<false, 1>(v, a, n, acc) : multiply_spectra<true, 1>(v, a, n, acc);
            }
        }
    }
    if (outs % 2 != 0) {
        double* d = item(out_pairs, outs);
        for (std::size_t j = 0; j < n; ++j) d[2 * j] = 0.0;
    }
    for (std::size_t k = 0; k < (outs + 1) / 2; ++k) transform_pair(plans_->plan, false, out_pairs + k * 2 * n, n, temp);

    const auto groups = static_cast<std::size_t>(groups_);
    for (std::size_t o = 0; o < outs; ++o) {
        const std::size_t s = o / channels, c = o % channels;
        const double* v = item(out_pairs, o);
        double* dst = y + c * groups * q + s;
        for (std::size_t j = 0; j < groups; ++j) dst[j * q] = v[2 * j];
    }
}

template void HqOverlapSave::run<float>(std::size_t, const float* const*, double*, double*) const;
template void HqOverlapSave::run<double>(std::size_t, const double* const*, double*, double*) const;

}  // namespace tenvira
