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

// Lanes of the vector type of T in this build (4 floats or 2 doubles with
// SSE2, the x86-64 baseline), 1 without one.
template <typename T>
constexpr std::size_t lanes_of() {
#ifndef POCKETFFT_NO_VECTORS
    return pocketfft::detail::VLEN<T>::val;
#else
    return 1;
#endif
}

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

// Sequences ("items") of n values live L to a group of lanes: item i in lane
// i % L of group i / L, element j at group + L j + lane. Input items are
// phase r of channel c at i = r C + c, output items s of channel c at
// i = s C + c.
template <typename T>
class Blocks final {
public:
    static constexpr std::size_t L = lanes_of<T>();

    Blocks(const double* rows, std::uint64_t taps, std::uint64_t p, std::uint64_t q, std::uint64_t split,
           std::uint64_t size)
        : p_(static_cast<std::size_t>(p * split)), q_(static_cast<std::size_t>(q * split)),
          n_(static_cast<std::size_t>(size / (p * split))),
          groups_(static_cast<std::size_t>(HqOverlapSave::groups_for(size, taps, p, q, split))), plan_(n_) {
        std::vector<T> spectra(q_ * p_ * n_);
        std::vector<double> a(n_);
        const pocketfft_r<double> transform(n_);
        const double scale = 1.0 / static_cast<double>(n_);
        for (std::size_t s = 0; s < q_; ++s) {
            // Output s reads the row of phase sP mod Q from frame
            // floor(sP / Q) of its group on.
            const double* row = rows + (s * p % q) * taps;
            const std::uint64_t shift = s * p / q;
            for (std::size_t r = 0; r < p_; ++r) {
                for (std::size_t i = 0; i < n_; ++i) {
                    const std::uint64_t m = i * p_ + r;  // tap m - shift of the row
                    a[i] = m >= shift && m - shift < taps ? row[m - shift] * scale : 0.0;
                }
                transform.exec(a.data(), 1.0, true);
                for (std::size_t k = 2; k + 1 < n_; k += 2) a[k] = -a[k];  // conjugate: a correlation
                std::copy(a.begin(), a.end(), spectra.begin() + static_cast<std::ptrdiff_t>((s * p_ + r) * n_));
            }
        }
        spectra_ = AlignedBuffer<T>(std::span<const T>(spectra));
    }

    std::size_t byte_size() const noexcept { return spectra_.byte_size() + n_ * sizeof(T); }

    // In units of T.
    std::size_t work_size(std::size_t channels) const noexcept {
        return (groups_of(channels * p_) + groups_of(channels * q_)) * L * n_;
    }

    // Members are read into locals first: the project builds with
    // -fno-strict-aliasing, so every store through T* would reload them.
    template <typename W>
    void run(std::size_t channels, const W* const* x, T* work, double* y) const {
        const std::size_t p = p_, q = q_, n = n_, groups = groups_;
        const std::size_t ins = channels * p, outs = channels * q;
        const T* spectra = spectra_.data();
        T* in = work;
        T* out = in + groups_of(ins) * L * n;
        const auto item = [n](T* base, std::size_t i) { return base + i / L * L * n + i % L; };

        for (std::size_t g = 0; g * L < ins; ++g) {
            T* d = in + g * L * n;
            if (channels == 1 && p % L == 0) {
                // The lanes are L consecutive phases of one channel.
                const W* from = x[0] + g * L;
                for (std::size_t j = 0; j < n; ++j) {
                    for (std::size_t l = 0; l < L; ++l) d[L * j + l] = static_cast<T>(from[j * p + l]);
                }
                continue;
            }
            for (std::size_t i = g * L; i < std::min(ins, g * L + L); ++i) {
                const W* from = x[i % channels] + i / channels;
                T* lane = d + i % L;
                for (std::size_t j = 0; j < n; ++j) lane[L * j] = static_cast<T>(from[j * p]);
            }
        }
        clear_lanes(in, ins);
        transform(in, ins, true);

        // Products of half-complex spectra summed over the phases: bin 0,
        // (re, im) pairs, the real bin n / 2. Two lanes at a time where both
        // lanes' items take the same spectrum (the channels of a pair).
        const std::size_t width = L >= 2 && channels % 2 == 0 ? 2 : 1;
        for (std::size_t o = 0; o < outs; o += width) {
            const std::size_t s = o / channels, c = o % channels;
            T* acc = item(out, o);
            for (std::size_t r = 0; r < p; ++r) {
                const T* v = item(in, r * channels + c);
                const T* a = spectra + (s * p + r) * n;
                if (width == 2) {
                    r == 0 ? multiply<false, 2>(v, a, n, acc) : multiply<true, 2>(v, a, n, acc);
                } else {
                    r == 0 ? multiply<false, 1>(v, a, n, acc) : multiply<true, 1>(v, a, n, acc);
                }
            }
        }
        clear_lanes(out, outs);
        transform(out, outs, false);

        if (channels == 1 && q % L == 0) {
            // The lanes are L consecutive output phases.
            for (std::size_t g = 0; g * L < outs; ++g) {
                const T* v = out + g * L * n;
                double* dst = y + g * L;
                for (std::size_t j = 0; j < groups; ++j) {
                    for (std::size_t l = 0; l < L; ++l) dst[j * q + l] = static_cast<double>(v[L * j + l]);
                }
            }
            return;
        }
        for (std::size_t o = 0; o < outs; ++o) {
            const std::size_t s = o / channels, c = o % channels;
            const T* v = item(out, o);
            double* dst = y + c * groups * q + s;
            for (std::size_t j = 0; j < groups; ++j) dst[j * q] = static_cast<double>(v[L * j]);
        }
    }

private:
    static std::size_t groups_of(std::size_t items) noexcept { return (items + L - 1) / L; }

    // Zeros the lanes of the last group that no item uses.
    void clear_lanes(T* base, std::size_t items) const {
        if (items % L == 0) return;
        T* group = base + items / L * L * n_;
        for (std::size_t j = 0; j < n_; ++j) {
            for (std::size_t l = items % L; l < L; ++l) group[L * j + l] = T{};
        }
    }

    // Transforms every group in place, across the lanes of the vector type.
    void transform(T* base, std::size_t items, bool forward) const {
        for (std::size_t g = 0; g < groups_of(items); ++g) {
            T* group = base + g * L * n_;
            if constexpr (L > 1) {
                plan_.exec(reinterpret_cast<pocketfft::detail::vtype_t<T>*>(group), T(1), forward);
            } else {
                plan_.exec(group, T(1), forward);
            }
        }
    }

    // acc (+)= v a for `width` adjacent items against one half-complex
    // spectrum a.
    template <bool Add, std::size_t width>
    static void multiply(const T* v, const T* a, std::size_t n, T* acc) {
        const auto put = [](T& to, T value) { to = Add ? to + value : value; };
        for (std::size_t l = 0; l < width; ++l) {
            put(acc[l], v[l] * a[0]);
            put(acc[L * (n - 1) + l], v[L * (n - 1) + l] * a[n - 1]);
        }
        for (std::size_t k = 1; k + 1 < n; k += 2) {
            const T ar = a[k], ai = a[k + 1];
            for (std::size_t l = 0; l < width; ++l) {
                const T xr = v[L * k + l], xi = v[L * (k + 1) + l];
                put(acc[L * k + l], xr * ar - xi * ai);
                put(acc[L * (k + 1) + l], xr * ai + xi * ar);
            }
        }
    }

    std::size_t p_, q_, n_, groups_;
    pocketfft_r<T> plan_;
    AlignedBuffer<T> spectra_;  // per s and r: n values, half-complex
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
    const std::size_t lanes = wide ? lanes_of<double>() : lanes_of<float>();
    const auto vectors = [lanes](std::uint64_t items) { return static_cast<double>((items + lanes - 1) / lanes); };
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
