#include "filter/hq_fft.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "aligned/aligned_buffer.hpp"

#define POCKETFFT_NO_MULTITHREADING
#include "pocketfft/pocketfft_hdronly.h"

namespace tenvira {

namespace {

using pocketfft::detail::pocketfft_r;

// Time of one real transform of n frames across the lanes of a vector
// (one allocation of scratch included), ns on the reference machine.
double transform_cost(std::uint64_t n) {
    const double ln = std::log2(static_cast<double>(n));
    const bool odd_radix = n % 3 == 0 || n % 5 == 0;
    return (odd_radix ? 0.29 : 0.25) * static_cast<double>(n) * ln + 300.0;
}

// Longest phase filter: taps of a row shifted by up to floor((Q - 1) P / Q),
// every P-th of them.
std::uint64_t phase_length(std::uint64_t taps, std::uint64_t p, std::uint64_t q) noexcept {
    return ((q - 1) * p / q + taps - 1) / p + 1;
}

#include "filter/hq_blocks.inc"

// The blocks of one design: the spectra, and their runner at this build's
// vector width.
template <typename T>
class Blocks final {
public:
    Blocks(const double* rows, std::uint64_t taps, std::uint64_t p, std::uint64_t q, std::uint64_t split,
           std::uint64_t size)
        : p_(static_cast<std::size_t>(p * split)), q_(static_cast<std::size_t>(q * split)),
          n_(static_cast<std::size_t>(size / (p * split))),
          groups_(static_cast<std::size_t>(HqOverlapSave::groups_for(size, taps, p, q, split))),
          spectra_(spectra_of(rows, taps, p, q, p_, q_, n_)), runner_(p_, q_, n_, groups_, spectra_.data()) {}

    std::size_t byte_size() const noexcept { return spectra_.byte_size() + runner_.plan_bytes(); }
    std::size_t work_size(std::size_t channels) const noexcept { return runner_.work_size(channels); }
    template <typename W>
    void run(std::size_t channels, const W* const* x, T* work, double* y) const {
        runner_.run(channels, x, work, y);
    }
    HqOverlapSave::Parts parts() const noexcept { return {p_, q_, n_, groups_, spectra_.data()}; }

private:
    // Per output phase s and input phase r, n values: the half-complex
    // spectrum of the phase filter, computed in float64 and rounded once.
    static AlignedBuffer<T> spectra_of(const double* rows, std::uint64_t taps, std::uint64_t p, std::uint64_t q,
                                       std::size_t ps, std::size_t qs, std::size_t n) {
        std::vector<T> spectra(qs * ps * n);
        std::vector<double> a(n);
        const pocketfft_r<double> transform(n);
        const double scale = 1.0 / static_cast<double>(n);
        for (std::size_t s = 0; s < qs; ++s) {
            // Output s reads the row of phase sP mod Q from frame
            // floor(sP / Q) of its group on.
            const double* row = rows + (s * p % q) * taps;
            const std::uint64_t shift = s * p / q;
            for (std::size_t r = 0; r < ps; ++r) {
                for (std::size_t i = 0; i < n; ++i) {
                    const std::uint64_t m = i * ps + r;  // tap m - shift of the row
                    a[i] = m >= shift && m - shift < taps ? row[m - shift] * scale : 0.0;
                }
                transform.exec(a.data(), 1.0, true);
                for (std::size_t k = 2; k + 1 < n; k += 2) a[k] = -a[k];  // conjugate: a correlation
                std::copy(a.begin(), a.end(), spectra.begin() + static_cast<std::ptrdiff_t>((s * ps + r) * n));
            }
        }
        return AlignedBuffer<T>(std::span<const T>(spectra));
    }

    std::size_t p_, q_, n_, groups_;
    AlignedBuffer<T> spectra_;
    BlockRunner<T> runner_;

};

}  // namespace

struct HqOverlapSave::Engine {
    std::unique_ptr<Blocks<float>> narrow;
    std::unique_ptr<Blocks<double>> wide;
};

std::uint64_t HqOverlapSave::groups_for(std::uint64_t size, std::uint64_t taps, std::uint64_t p, std::uint64_t q,
                                        std::uint64_t split) noexcept {
    const std::uint64_t n = size / (p * split);
    const std::uint64_t length = phase_length(taps, p * split, q * split);
    return n < length ? 0 : n - length + 1;
}

double HqOverlapSave::cost_per_output(std::uint64_t size, std::uint64_t taps, std::uint64_t p, std::uint64_t q,
                                      std::uint64_t split, bool wide, std::uint64_t channels) noexcept {
    const std::uint64_t groups = groups_for(size, taps, p, q, split);
    if (groups == 0) return 1e300;
    const std::uint64_t ps = p * split, qs = q * split, n = size / ps;
    // float64 blocks of two or more channels are costed at the width the
    // vector backends run them with (x86/hq_blocks_avx2.cpp: four lanes, a
    // transform across them about 1.4 times one across two), which measured
    // 1.15 to 1.3 times faster than the shapes chosen for two lanes; mono
    // streams keep the baseline's lanes, where the wider shapes measured
    // slower. The shape is the design's, the same on every backend.
    const bool wider = wide && channels > 1;
    const std::size_t lanes = wider ? 4 : wide ? lanes_of<double>() : lanes_of<float>();
    const double group_cost = wider ? 1.4 : 1.0;
    const auto vectors = [lanes, group_cost](std::uint64_t items) {
        return group_cost * static_cast<double>((items + lanes - 1) / lanes);
    };
    // P and Q transforms of n frames per channel, P Q products of spectra
    // (two channels at a time run a little faster), the phases split and
    // the frames gathered: constants fitted to measurements of the blocks.
    const double product = channels % 2 == 0 ? 0.12 : 0.18;
    const double per_block = (vectors(ps * channels) + vectors(qs * channels)) * transform_cost(n) +
                             static_cast<double>(channels) * (product * static_cast<double>(ps * qs * n / 2) +
                                                              0.31 * static_cast<double>(size + qs * n));
    return per_block / static_cast<double>(groups * qs * channels);
}

HqOverlapSave::Shape HqOverlapSave::cheapest(std::uint64_t taps, std::uint64_t ahead, std::uint64_t p,
                                             std::uint64_t q, bool wide, std::uint64_t channels, double ceiling,
                                             std::uint64_t newest_limit) noexcept {
    Shape best;
    double best_cost = ceiling;
    for (std::uint64_t split = 1; split <= 4; split *= 2) {
        for (std::uint64_t five = 1; five <= 5; five *= 5) {
            for (std::uint64_t three = 1; three <= 9; three *= 3) {
                for (std::uint64_t n = 64 * three * five; n <= 16384; n *= 2) {
                    if (n % (2 * p * split) != 0 || groups_for(n, taps, p, q, split) == 0) continue;
                    // Output 0 reads frames ahead - taps + 1 .. ahead - taps + n.
                    if (ahead + n - taps > newest_limit) continue;
                    const double cost = cost_per_output(n, taps, p, q, split, wide, channels);
                    if (cost < best_cost) {
                        best_cost = cost;
                        best = {n, split};
                    }
                }
            }
        }
    }
    return best;
}

HqOverlapSave::HqOverlapSave(const double* rows, std::uint64_t taps, std::uint64_t p, std::uint64_t q,
                             std::uint64_t split, std::uint64_t size, bool wide)
    : p_(p * split), q_(q * split), split_(split), size_(size), groups_(groups_for(size, taps, p, q, split)),
      wide_(wide), engine_(std::make_unique<Engine>()) {
    if (wide) {
        engine_->wide = std::make_unique<Blocks<double>>(rows, taps, p, q, split, size);
    } else {
        engine_->narrow = std::make_unique<Blocks<float>>(rows, taps, p, q, split, size);
    }
}

HqOverlapSave::HqOverlapSave(HqOverlapSave&&) noexcept = default;
HqOverlapSave& HqOverlapSave::operator=(HqOverlapSave&&) noexcept = default;
HqOverlapSave::~HqOverlapSave() = default;

std::size_t HqOverlapSave::byte_size() const noexcept {
    return wide_ ? engine_->wide->byte_size() : engine_->narrow->byte_size();
}

std::size_t HqOverlapSave::work_size(std::size_t channels) const noexcept {
    if (wide_) return engine_->wide->work_size(channels);
    return (engine_->narrow->work_size(channels) + 1) / 2;  // floats in doubles
}

HqOverlapSave::Parts HqOverlapSave::parts() const noexcept {
    return wide_ ? engine_->wide->parts() : engine_->narrow->parts();
}

template <typename W>
void HqOverlapSave::run(std::size_t channels, const W* const* x, double* work, double* y) const {
    if (wide_) {
        engine_->wide->run(channels, x, work, y);
    } else {
        engine_->narrow->run(channels, x, reinterpret_cast<float*>(work), y);
    }
}

template void HqOverlapSave::run<float>(std::size_t, const float* const*, double*, double*) const;
template void HqOverlapSave::run<double>(std::size_t, const double* const*, double*, double*) const;

}  // namespace tenvira
