// Shared pieces of the stream-engine tests: an independent reference renderer,
// deterministic test signals and chunk schedules, and helpers that drive an
// engine and compare outputs bit for bit.
//
// The reference renders from the whole input array of a stream (zeros outside
// it) with plain loops, never through the engine's ring buffers: float64 read
// position advanced by repeated addition of the rate ratio, row chosen by
// truncating the fractional position, window starting at w + 1 - taps/2,
// sequential float32 multiply-then-add (or a model of the vector kernels),
// exact 64-bit sums for int16, and the allpass converter stepped frame by
// frame on the 2:1 and 1:2 paths at quality "fast".
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "backend/cpu_features.hpp"
#include "backend/fir_backend.hpp"
#include "filter/filter_bank.hpp"
#include "iir/polyphase_iir2x.hpp"
#include "base/config.hpp"
#include "resampler/core.hpp"

namespace tenvira::engine_test {

// ---------------------------------------------------------------------------
// Configuration helpers

inline ResamplerConfig make_config(std::uint32_t in, std::uint32_t out, std::uint64_t channels,
                                   Quality quality = Quality::Balanced,
                                   BackendRequest backend = BackendRequest::Scalar,
                                   std::optional<std::uint64_t> chunk = std::nullopt) {
    ResamplerConfig c;
    c.input_rate = in;
    c.output_rate = out;
    c.channels = channels;
    c.quality = quality;
    c.backend = backend;
    c.max_input_frames_per_chunk = chunk;
    return c;
}

inline const char* quality_text(Quality q) {
    switch (q) {
        case Quality::Fast: return "fast";
        case Quality::Balanced: return "balanced";
        case Quality::Best: return "best";
        case Quality::Hq: return "hq";
        case Quality::Vhq: return "vhq";
    }
    return "?";
}

inline bool backend_available(BackendRequest request) {
    switch (request) {
        case BackendRequest::Auto:
        case BackendRequest::Scalar: return true;
        case BackendRequest::Avx2: return has_feature(CpuFeature::Avx2) && has_feature(CpuFeature::Fma);
        case BackendRequest::Avx512: return has_feature(CpuFeature::Avx512f);
        default: return false;
    }
}

template <typename S>
Core<S> make_core(const ResamplerConfig& config) {
    Result<Core<S>> r = Core<S>::create(config);
    if (!r) throw std::runtime_error("engine construction failed: " + r.error().message());
    return std::move(r).value();
}

// ceil(frames × out / in), exact.
inline std::uint64_t expected_total(std::uint64_t frames, std::uint32_t in, std::uint32_t out) {
    const unsigned __int128 n = static_cast<unsigned __int128>(frames) * out;
    return static_cast<std::uint64_t>((n + in - 1) / in);
}

// ---------------------------------------------------------------------------
// Deterministic signals and chunk schedules

struct Lcg {
    std::uint64_t s;
    explicit Lcg(std::uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint32_t next() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(s >> 32);
    }
    std::uint32_t below(std::uint32_t n) { return next() % n; }
    // Uniform in [-1, 1).
    float unit() { return static_cast<float>(next() >> 8) / 8388608.0f - 1.0f; }
};

// Interleaved test input. float32: tones plus noise in [-1, 1), with a few
// exact impulses. int16: full-scale noise, full-scale square waves that drive
// the filters into saturation, silence and single extreme samples, in
// segments, different in every channel.
template <typename S>
std::vector<S> test_signal(std::size_t frames, std::size_t channels, std::uint64_t seed) {
    std::vector<S> v(frames * channels);
    Lcg rng(seed);
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::size_t k = 0; k < channels; ++k) {
            S& x = v[f * channels + k];
            if constexpr (std::is_same_v<S, float>) {
                const double tone = std::sin(0.0371 * static_cast<double>(f) * static_cast<double>(k + 1) + 0.3 * k);
                x = static_cast<float>(0.5 * tone) + 0.45f * rng.unit();
                if ((f + 17 * k) % 401 == 0) x = 1.0f;
            } else {
                const std::size_t segment = (f / 193 + k) % 5;
                switch (segment) {
                    case 0: x = static_cast<std::int16_t>(static_cast<std::int32_t>(rng.next() & 0xffff) - 32768); break;
                    case 1: x = ((f / (3 + k)) % 2 == 0) ? std::int16_t{32767} : std::int16_t{-32768}; break;
                    case 2: x = ((f / 11) % 2 == 0) ? std::int16_t{-32768} : std::int16_t{32767}; break;
                    case 3: x = (f % 37 == 0) ? std::int16_t{-32768} : std::int16_t{0}; break;
                    default: x = static_cast<std::int16_t>(static_cast<std::int32_t>(rng.below(2001)) - 1000); break;
                }
            }
        }
    }
    return v;
}

// Frame counts of successive calls adding up to `total`: many small calls,
// some empty ones (including the first and the last), some large ones.
inline std::vector<std::size_t> irregular_chunks(std::size_t total, std::uint64_t seed) {
    std::vector<std::size_t> chunks{0};
    Lcg rng(seed);
    std::size_t left = total;
    while (left > 0) {
        const std::uint32_t r = rng.below(16);
        std::size_t n = 0;
        if (r == 0) n = 0;
        else if (r < 8) n = 1 + rng.below(7);
        else if (r < 13) n = 8 + rng.below(90);
        else n = 100 + rng.below(600);
        n = std::min(n, left);
        chunks.push_back(n);
        left -= n;
    }
    chunks.push_back(0);
    return chunks;
}

inline std::vector<std::size_t> single_frames(std::size_t total) { return std::vector<std::size_t>(total, 1); }

// ---------------------------------------------------------------------------
// Driving an engine

template <typename S>
struct Call {
    std::vector<S> samples;
    ProcessStats stats;
};

// Feeds `input` in calls of the given frame counts; the last element of the
// result is the output of `finish` when `finish` is set.
template <typename S>
std::vector<Call<S>> run_engine(Core<S>& core, std::span<const S> input, std::span<const std::size_t> chunks,
                                bool finish = true) {
    const std::size_t channels = core.channels();
    std::vector<Call<S>> calls;
    std::size_t offset = 0;
    for (std::size_t n : chunks) {
        Result<ProcessOutput<S>> r = core.process(input.subspan(offset * channels, n * channels));
        if (!r) {
            ADD_FAILURE() << "process failed: " << r.error().message();
            return calls;
        }
        offset += n;
        calls.push_back({std::move(r.value().samples), r.value().stats});
    }
    if (finish) {
        ProcessOutput<S> f = core.finish();
        calls.push_back({std::move(f.samples), f.stats});
    }
    return calls;
}

template <typename S>
std::vector<S> concat(const std::vector<Call<S>>& calls) {
    std::vector<S> all;
    for (const Call<S>& c : calls) all.insert(all.end(), c.samples.begin(), c.samples.end());
    return all;
}

template <typename S>
std::vector<S> whole_stream(const ResamplerConfig& config, std::span<const S> input,
                            std::span<const std::size_t> chunks) {
    Core<S> core = make_core<S>(config);
    return concat(run_engine(core, input, chunks));
}

// Bit-for-bit comparison (float32 by bit pattern), naming the first
// difference by frame and channel.
template <typename S>
::testing::AssertionResult same_samples(const std::vector<S>& actual, const std::vector<S>& expected,
                                        std::size_t channels) {
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure() << "length " << actual.size() << " samples (" << actual.size() / channels
                                             << " frames), expected " << expected.size() << " samples ("
                                             << expected.size() / channels << " frames)";
    }
    for (std::size_t i = 0; i < actual.size(); ++i) {
        bool same = false;
        if constexpr (std::is_same_v<S, float>) {
            same = std::bit_cast<std::uint32_t>(actual[i]) == std::bit_cast<std::uint32_t>(expected[i]);
        } else {
            same = actual[i] == expected[i];
        }
        if (!same) {
            std::ostringstream os;
            os.precision(9);
            os << "first difference at frame " << i / channels << ", channel " << i % channels << ": got "
               << +actual[i] << ", expected " << +expected[i];
            return ::testing::AssertionFailure() << os.str();
        }
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Arithmetic of the reference

enum class KernelModel { Sequential, Lanes8, Lanes16 };

inline KernelModel kernel_model(FirBackend backend) {
    switch (backend) {
        case FirBackend::Avx2Fma: return KernelModel::Lanes8;
        case FirBackend::Avx512f: return KernelModel::Lanes16;
        default: return KernelModel::Sequential;
    }
}

// The float32 inner product of one window and one row. Sequential: each
// product rounded, then added, from +0.0, in index order. Lanes: per-lane
// chains of fused multiply-adds over whole blocks, the lanes summed left to
// right, the remainder added by fused multiply-adds.
inline float ref_dot_f32(const float* w, const float* c, std::size_t n, KernelModel model) {
    if (model == KernelModel::Sequential) {
        float acc = 0.0f;
        for (std::size_t i = 0; i < n; ++i) {
            const float p = w[i] * c[i];
            acc = acc + p;
        }
        return acc;
    }
    const std::size_t lanes = model == KernelModel::Lanes8 ? 8 : 16;
    const std::size_t blocks = n / lanes;
    std::array<float, 16> acc{};
    for (std::size_t b = 0; b < blocks; ++b) {
        for (std::size_t k = 0; k < lanes; ++k) acc[k] = std::fmaf(w[b * lanes + k], c[b * lanes + k], acc[k]);
    }
    float s = acc[0] + acc[1];
    for (std::size_t k = 2; k < lanes; ++k) s = s + acc[k];
    for (std::size_t i = blocks * lanes; i < n; ++i) s = std::fmaf(w[i], c[i], s);
    return s;
}

inline std::int64_t ref_dot_i16(const std::int16_t* w, const std::int16_t* c, std::size_t n) {
    std::int64_t acc = 0;
    for (std::size_t i = 0; i < n; ++i) acc += std::int64_t{w[i]} * std::int64_t{c[i]};
    return acc;
}

// Round half up by 2^15, then saturate.
inline std::int16_t ref_q15(std::int64_t acc) {
    const std::int64_t r = (acc + 16384) >> 15;
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(r, -32768, 32767));
}

// Round half away from zero, then saturate.
inline std::int16_t ref_from_float(float y) {
    const float r = std::roundf(y);
    if (r < -32768.0f) return -32768;
    if (r > 32767.0f) return 32767;
    return static_cast<std::int16_t>(r);
}

// Rendering scheme expected for a configuration.
enum class Scheme { Polyphase, HalfBandUp, HalfBandDown, ThirdBandDown, IirUp, IirDown };

inline Scheme expected_scheme(std::uint32_t in, std::uint32_t out, Quality q) {
    if (in == 24000 && out == 8000) return Scheme::ThirdBandDown;
    if (in == 16000 && out == 8000) return q == Quality::Fast ? Scheme::IirDown : Scheme::HalfBandDown;
    if (in == 8000 && out == 16000) return q == Quality::Fast ? Scheme::IirUp : Scheme::HalfBandUp;
    return Scheme::Polyphase;
}

// ---------------------------------------------------------------------------
// The reference renderer

template <typename S>
class ReferenceStream {
public:
    ReferenceStream(const ResamplerConfig& config, std::span<const S> whole_input,
                    KernelModel model = KernelModel::Sequential)
        : config_(config),
          input_(whole_input),
          channels_(config.channels),
          total_frames_(static_cast<std::int64_t>(whole_input.size() / config.channels)),
          bank_(FilterBank::create(config.input_rate, config.output_rate, config.quality)),
          scheme_(expected_scheme(config.input_rate, config.output_rate, config.quality)),
          model_(model),
          ratio_(static_cast<double>(config.input_rate) / static_cast<double>(config.output_rate)),
          half_(static_cast<std::int64_t>(bank_.taps / 2)) {
        if (scheme_ == Scheme::IirUp || scheme_ == Scheme::IirDown) {
            if (channels_ == 2) stereo_.emplace();
            else mono_.assign(channels_, Iir2xFilter{});
        }
    }

    // The output of a `process` call after which `frames_in` frames have
    // been appended in all.
    std::vector<S> process_to(std::int64_t frames_in) {
        std::vector<S> out;
        if (scheme_ == Scheme::IirUp) {
            while (cursor_ < frames_in) iir_up_frame(out, cursor_++);
        } else if (scheme_ == Scheme::IirDown) {
            while (cursor_ + 1 < frames_in) {
                iir_down_pair(out, cursor_, true);
                cursor_ += 2;
            }
        } else {
            while (static_cast<std::int64_t>(position_) + half_ < frames_in) fir_frame(out);
        }
        frames_in_ = frames_in;
        return out;
    }

    // The output of `finish` after `frames_in` frames in all.
    std::vector<S> finish() {
        std::vector<S> out;
        if (scheme_ == Scheme::IirUp) return out;
        if (scheme_ == Scheme::IirDown) {
            if (cursor_ < frames_in_) iir_down_pair(out, cursor_++, false);
            return out;
        }
        const std::uint64_t end =
            expected_total(static_cast<std::uint64_t>(frames_in_), config_.input_rate, config_.output_rate);
        while (static_cast<std::uint64_t>(frames_out_) < end) fir_frame(out);
        return out;
    }

    double position() const { return position_; }
    std::int64_t frames_out() const { return frames_out_; }

private:
    // Sample of channel k at absolute input frame a; zero outside the input.
    S at(std::int64_t a, std::size_t k) const {
        if (a < 0 || a >= total_frames_) return S{};
        return input_[static_cast<std::size_t>(a) * channels_ + k];
    }

    void fir_frame(std::vector<S>& out) {
        const std::int64_t i = frames_out_;
        for (std::size_t k = 0; k < channels_; ++k) {
            switch (scheme_) {
                case Scheme::Polyphase: out.push_back(polyphase(k)); break;
                case Scheme::HalfBandUp: out.push_back(half_band_up(i, k)); break;
                case Scheme::HalfBandDown: out.push_back(half_band_down(i, k)); break;
                case Scheme::ThirdBandDown: out.push_back(third_band_down(i, k)); break;
                default: ADD_FAILURE() << "not a FIR scheme"; return;
            }
        }
        position_ = position_ + ratio_;
        frames_out_ += 1;
    }

    S polyphase(std::size_t k) const {
        const std::uint64_t taps = bank_.taps;
        const std::uint64_t phases = bank_.phases;
        const auto w = static_cast<std::int64_t>(position_);
        const double frac = position_ - static_cast<double>(w);
        const auto phase = std::min(static_cast<std::uint64_t>(frac * static_cast<double>(phases)), phases - 1);
        const std::int64_t first = w + 1 - static_cast<std::int64_t>(taps / 2);
        std::vector<S> window(taps);
        for (std::uint64_t j = 0; j < taps; ++j) window[j] = at(first + static_cast<std::int64_t>(j), k);
        if constexpr (std::is_same_v<S, float>) {
            return ref_dot_f32(window.data(), bank_.polyphase()->coeffs_f32.data() + phase * taps, taps, model_);
        } else {
            return ref_q15(ref_dot_i16(window.data(), bank_.polyphase()->coeffs_q15.data() + phase * taps, taps));
        }
    }

    S half_band_up(std::int64_t i, std::size_t k) const {
        const HalfBandFilter& hb = *bank_.half_band();
        const std::int64_t m = i / 2;
        if (i % 2 == 0) return at(m, k);
        if constexpr (std::is_same_v<S, float>) {
            float acc = 0.0f;
            for (std::size_t j = 0; j < hb.coeffs_x2_f32.size(); ++j) {
                const float p = at(m + hb.input_offsets[j], k) * hb.coeffs_x2_f32[j];
                acc = acc + p;
            }
            return acc;
        } else {
            std::int64_t acc = 0;
            for (std::size_t j = 0; j < hb.coeffs_x2_q15.size(); ++j) {
                acc += std::int64_t{at(m + hb.input_offsets[j], k)} * hb.coeffs_x2_q15[j];
            }
            return ref_q15(acc);
        }
    }

    S half_band_down(std::int64_t i, std::size_t k) const {
        const HalfBandFilter& hb = *bank_.half_band();
        const std::int64_t m = 2 * i;
        if constexpr (std::is_same_v<S, float>) {
            float acc = at(m, k) * hb.center_f32;
            for (std::size_t j = 0; j < hb.coeffs_f32.size(); ++j) {
                const float p = at(m - hb.offsets[j], k) * hb.coeffs_f32[j];
                acc = acc + p;
            }
            return acc;
        } else {
            std::int64_t acc = std::int64_t{at(m, k)} * hb.center_q15;
            for (std::size_t j = 0; j < hb.coeffs_q15.size(); ++j) {
                acc += std::int64_t{at(m - hb.offsets[j], k)} * hb.coeffs_q15[j];
            }
            return ref_q15(acc);
        }
    }

    S third_band_down(std::int64_t i, std::size_t k) const {
        const ThirdBandFilter& tb = *bank_.third_band();
        const std::int64_t m = 3 * i;
        if constexpr (std::is_same_v<S, float>) {
            float acc = at(m, k) * tb.center_f32;
            for (std::size_t j = 0; j < tb.coeffs_f32.size(); ++j) {
                const float p = at(m + tb.offsets[j], k) * tb.coeffs_f32[j];
                acc = acc + p;
            }
            return acc;
        } else {
            std::int64_t acc = std::int64_t{at(m, k)} * tb.center_q15;
            for (std::size_t j = 0; j < tb.coeffs_q15.size(); ++j) {
                acc += std::int64_t{at(m + tb.offsets[j], k)} * tb.coeffs_q15[j];
            }
            return ref_q15(acc);
        }
    }

    static float in_float(S x) { return static_cast<float>(x); }
    static S out_sample(float y) {
        if constexpr (std::is_same_v<S, float>) return y;
        else return ref_from_float(y);
    }

    // One input frame through both branches of every channel: the branch A
    // frame, then the branch B frame.
    void iir_up_frame(std::vector<S>& out, std::int64_t f) {
        if (stereo_) {
            const std::array<float, 2> x{in_float(at(f, 0)), in_float(at(f, 1))};
            const std::array<float, 4> r = stereo_->process_pair(x, x);
            for (float y : r) out.push_back(out_sample(y));
            return;
        }
        std::vector<std::array<float, 2>> ab(channels_);
        for (std::size_t k = 0; k < channels_; ++k) {
            const float x = in_float(at(f, k));
            ab[k] = mono_[k].process_pair(x, x);
        }
        for (std::size_t k = 0; k < channels_; ++k) out.push_back(out_sample(ab[k][0]));
        for (std::size_t k = 0; k < channels_; ++k) out.push_back(out_sample(ab[k][1]));
    }

    // One output frame from input frames (even, even + 1); without the odd
    // frame its samples count as zero. Branch B takes the even sample,
    // branch A the odd one; the output is half their sum.
    void iir_down_pair(std::vector<S>& out, std::int64_t even, bool has_odd) {
        if (stereo_) {
            const std::array<float, 2> e{in_float(at(even, 0)), in_float(at(even, 1))};
            const std::array<float, 2> o = has_odd ? std::array<float, 2>{in_float(at(even + 1, 0)),
                                                                          in_float(at(even + 1, 1))}
                                                   : std::array<float, 2>{0.0f, 0.0f};
            const std::array<float, 4> r = stereo_->process_pair(e, o);
            const float y0 = r[0] + r[2];
            const float y1 = r[1] + r[3];
            out.push_back(out_sample(y0 * 0.5f));
            out.push_back(out_sample(y1 * 0.5f));
            return;
        }
        for (std::size_t k = 0; k < channels_; ++k) {
            const float e = in_float(at(even, k));
            const float o = has_odd ? in_float(at(even + 1, k)) : 0.0f;
            const std::array<float, 2> ab = mono_[k].process_pair(e, o);
            const float sum = ab[0] + ab[1];
            out.push_back(out_sample(sum * 0.5f));
        }
    }

    ResamplerConfig config_;
    std::span<const S> input_;
    std::size_t channels_;
    std::int64_t total_frames_;
    FilterBank bank_;
    Scheme scheme_;
    KernelModel model_;
    double ratio_;
    std::int64_t half_;
    double position_ = 0.0;
    std::int64_t frames_out_ = 0;
    std::int64_t frames_in_ = 0;
    std::int64_t cursor_ = 0;
    std::vector<Iir2xFilter> mono_;
    std::optional<Iir2xStereoFilter> stereo_;
};

// Runs the reference over the same chunk schedule as `run_engine`.
template <typename S>
std::vector<std::vector<S>> run_reference(const ResamplerConfig& config, std::span<const S> input,
                                          std::span<const std::size_t> chunks,
                                          KernelModel model = KernelModel::Sequential) {
    ReferenceStream<S> ref(config, input, model);
    std::vector<std::vector<S>> calls;
    std::int64_t frames_in = 0;
    for (std::size_t n : chunks) {
        frames_in += static_cast<std::int64_t>(n);
        calls.push_back(ref.process_to(frames_in));
    }
    calls.push_back(ref.finish());
    return calls;
}

}  // namespace tenvira::engine_test
