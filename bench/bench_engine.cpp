// Engine throughput against established resamplers, in one process.
//
// Every workload streams the same signal in 20 ms chunks through each engine
// on one core and reports input frames per second (median of several runs
// after a warm-up). Prints one JSON object per line; bench/run.py turns them
// into tables. The peers are linked here only; the module never uses them.
//
//   bench_engine [--quick] [--seconds S] [--runs R] [--tenvira-only]
//
// --tenvira-only times tenvira's engine alone (no peers, no construction),
// for comparing its backends and builds.

#include <malloc.h>
#include <samplerate.h>
#include <soxr.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "backend/cpu_features.hpp"
#include "filter/filter_bank.hpp"
#include "resampler/core.hpp"
#include "resampler/hq_stream.hpp"

namespace {

using tenvira::BackendRequest;
using tenvira::Quality;

struct Options {
    double seconds = 2.0;
    int runs = 5;
    bool quick = false;
    bool tenvira_only = false;
};

struct Workload {
    std::uint32_t in;
    std::uint32_t out;
    std::uint64_t channels;
    bool int16;
};

volatile double sink = 0;

std::vector<float> make_signal(const Workload& w, std::size_t frames) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> noise(-0.1f, 0.1f);
    std::vector<float> s(frames * w.channels);
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::uint64_t k = 0; k < w.channels; ++k) {
            const double t = static_cast<double>(i) / w.in;
            s[i * w.channels + k] = static_cast<float>(0.5 * std::sin(2 * M_PI * (440.0 + 300.0 * k) * t)) + noise(rng);
        }
    }
    return s;
}

std::vector<std::int16_t> to_i16(const std::vector<float>& s) {
    std::vector<std::int16_t> out(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) out[i] = static_cast<std::int16_t>(std::lrint(s[i] * 30000.0f));
    return out;
}

// `make` builds a fresh engine and returns the closure that streams the
// whole input through it once, chunk by chunk, and drains it. Only the
// streaming is timed (construction is measured on its own). Returns input
// frames per second: the median of the runs after a warm-up.
double measure(const Options& o, std::size_t frames, const std::function<std::function<void()>()>& make) {
    make()();  // warm-up
    std::vector<double> rates;
    for (int r = 0; r < o.runs; ++r) {
        const std::function<void()> stream = make();
        const auto start = std::chrono::steady_clock::now();
        stream();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rates.push_back(static_cast<double>(frames) / s);
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

void emit(const Workload& w, const char* engine, const std::string& variant, double fps) {
    std::printf(
        "{\"pair\": \"%u->%u\", \"channels\": %llu, \"format\": \"%s\", \"engine\": \"%s\", \"variant\": \"%s\", "
        "\"fps\": %.1f}\n",
        w.in, w.out, static_cast<unsigned long long>(w.channels), w.int16 ? "i16" : "f32", engine, variant.c_str(),
        fps);
    std::fflush(stdout);
}

template <typename S>
void bench_tenvira(const Options& o, const Workload& w, const std::vector<S>& input, std::size_t chunk) {
    const std::pair<Quality, const char*> qualities[] = {{Quality::Fast, "fast"},
                                                         {Quality::Balanced, "balanced"},
                                                         {Quality::Best, "best"},
                                                         {Quality::Hq, "hq"},
                                                         {Quality::Vhq, "vhq"}};
    std::vector<std::pair<BackendRequest, const char*>> backends = {{BackendRequest::Scalar, "scalar"}};
    if (tenvira::has_feature(tenvira::CpuFeature::Avx2) && tenvira::has_feature(tenvira::CpuFeature::Fma)) {
        backends.push_back({BackendRequest::Avx2, "avx2+fma"});
    }
    if (tenvira::has_feature(tenvira::CpuFeature::Avx512f)) backends.push_back({BackendRequest::Avx512, "avx512f"});
    // What a caller gets without naming a backend, next to the named ones.
    backends.push_back({BackendRequest::Auto, "auto"});
    const std::size_t frames = input.size() / w.channels;
    for (const auto& [quality, qname] : qualities) {
        for (const auto& [backend, bname] : backends) {
            const bool studio = quality == Quality::Hq || quality == Quality::Vhq;
            if (o.quick && quality != Quality::Balanced && !studio && backend != backends.back().first) continue;
            if (o.quick && studio && backend == BackendRequest::Scalar) continue;
            tenvira::ResamplerConfig config;
            config.input_rate = w.in;
            config.output_rate = w.out;
            config.channels = w.channels;
            config.quality = quality;
            config.backend = backend;
            config.max_input_frames_per_chunk = chunk;
            const double fps = measure(o, frames, [&]() -> std::function<void()> {
                auto engine = std::make_shared<tenvira::Core<S>>(tenvira::Core<S>::create(config).value());
                return [&, engine] {
                    std::size_t produced = 0;
                    for (std::size_t pos = 0; pos < frames; pos += chunk) {
                        const std::size_t n = std::min(chunk, frames - pos);
                        produced += engine->process({input.data() + pos * w.channels, n * w.channels}).value().samples.size();
                    }
                    produced += engine->finish().samples.size();
                    sink = sink + static_cast<double>(produced);
                };
            });
            emit(w, "tenvira", std::string(qname) + "/" + bname, fps);
        }
        if ((quality == Quality::Hq || quality == Quality::Vhq) && w.channels == 1 && !w.int16) {
            // Multiply-adds per output frame and channel of the float design,
            // for the FMA bound of the tables.
            const auto design = tenvira::HqStream<float>::design_for(
                w.in, w.out, quality == Quality::Hq ? tenvira::HqPreset::Hq : tenvira::HqPreset::Vhq);
            // Of those, the float64 ones: vhq's, but for a split row's tails.
            const double all = design->multiply_adds_per_output();
            const tenvira::HqPolyphase& poly = design->polyphase();
            const double wide = quality != Quality::Vhq ? 0.0
                                : design->arithmetic() == tenvira::HqArithmetic::F64Split
                                    ? static_cast<double>(poly.centre_end - poly.centre_begin)
                                    : all;
            std::printf("{\"studio_cost\": \"%u->%u\", \"quality\": \"%s\", \"madds_per_output\": %.1f, "
                        "\"float64_madds\": %.1f}\n",
                        w.in, w.out, qname, all, wide);
        }
    }
}

void bench_soxr(const Options& o, const Workload& w, const void* input, std::size_t frames, std::size_t chunk) {
    for (const auto& [recipe, name] : {std::pair{SOXR_HQ, "HQ"}, std::pair{SOXR_VHQ, "VHQ"}, std::pair{SOXR_LQ, "LQ"}}) {
        const soxr_datatype_t type = w.int16 ? SOXR_INT16_I : SOXR_FLOAT32_I;
        const std::size_t sample = w.int16 ? 2 : 4;
        const std::size_t out_capacity = chunk * w.out / w.in + 64;
        std::vector<unsigned char> out(out_capacity * w.channels * sample);
        const double fps = measure(o, frames, [&, recipe = recipe]() -> std::function<void()> {
            const soxr_io_spec_t io = soxr_io_spec(type, type);
            const soxr_quality_spec_t q = soxr_quality_spec(recipe, 0);
            const soxr_runtime_spec_t rt = soxr_runtime_spec(1);
            soxr_error_t err = nullptr;
            soxr_t created = soxr_create(w.in, w.out, static_cast<unsigned>(w.channels), &err, &io, &q, &rt);
            if (err) std::abort();
            std::shared_ptr<soxr> s(created, soxr_delete);
            return [&, s] {
                const auto* base = static_cast<const unsigned char*>(input);
                std::size_t produced = 0;
                for (std::size_t pos = 0; pos < frames; pos += chunk) {
                    const std::size_t n = std::min(chunk, frames - pos);
                    std::size_t idone = 0, odone = 0;
                    soxr_process(s.get(), base + pos * w.channels * sample, n, &idone, out.data(), out_capacity, &odone);
                    produced += odone;
                }
                std::size_t odone = 0;
                do {
                    soxr_process(s.get(), nullptr, 0, nullptr, out.data(), out_capacity, &odone);
                    produced += odone;
                } while (odone > 0);
                sink = sink + static_cast<double>(produced);
            };
        });
        emit(w, "soxr", name, fps);
    }
}

void bench_libsamplerate(const Options& o, const Workload& w, const std::vector<float>& input, std::size_t chunk) {
    const std::size_t frames = input.size() / w.channels;
    const std::vector<std::int16_t> input16 = to_i16(input);
    for (const auto& [converter, name] : {std::pair{SRC_SINC_FASTEST, "SINC_FASTEST"}, std::pair{SRC_SINC_MEDIUM_QUALITY, "SINC_MEDIUM"}}) {
        const std::size_t out_capacity = chunk * w.out / w.in + 64;
        std::vector<float> out(out_capacity * w.channels);
        std::vector<float> in_f(chunk * w.channels);
        std::vector<std::int16_t> out16(out_capacity * w.channels);
        const double fps = measure(o, frames, [&, converter = converter]() -> std::function<void()> {
            int err = 0;
            SRC_STATE* created = src_new(converter, static_cast<int>(w.channels), &err);
            if (created == nullptr) std::abort();
            std::shared_ptr<SRC_STATE> s(created, src_delete);
            return [&, s] {
                std::size_t produced = 0;
                SRC_DATA d{};
                d.src_ratio = static_cast<double>(w.out) / w.in;
                for (std::size_t pos = 0; pos <= frames; pos += chunk) {
                    const std::size_t n = pos < frames ? std::min(chunk, frames - pos) : 0;
                    const float* in_ptr = input.data() + pos * w.channels;
                    if (w.int16) {
                        src_short_to_float_array(input16.data() + pos * w.channels, in_f.data(),
                                                 static_cast<int>(n * w.channels));
                        in_ptr = in_f.data();
                    }
                    d.data_in = in_ptr;
                    d.input_frames = static_cast<long>(n);
                    d.end_of_input = n == 0;
                    // Drain everything this chunk allows.
                    do {
                        d.data_out = out.data();
                        d.output_frames = static_cast<long>(out_capacity);
                        if (src_process(s.get(), &d) != 0) std::abort();
                        if (w.int16) {
                            src_float_to_short_array(out.data(), out16.data(),
                                                     static_cast<int>(d.output_frames_gen * w.channels));
                        }
                        produced += static_cast<std::size_t>(d.output_frames_gen);
                        d.data_in += d.input_frames_used * w.channels;
                        d.input_frames -= d.input_frames_used;
                    } while (d.input_frames > 0 || (d.end_of_input && d.output_frames_gen > 0));
                }
                sink = sink + static_cast<double>(produced);
            };
        });
        emit(w, "libsamplerate", name, fps);
    }
}

void bench_speex(const Options& o, const Workload& w, const std::vector<float>& input, std::size_t chunk) {
    const std::size_t frames = input.size() / w.channels;
    const std::vector<std::int16_t> input16 = to_i16(input);
    for (int quality : {3, 8}) {
        const std::size_t out_capacity = chunk * w.out / w.in + 64;
        std::vector<float> out(out_capacity * w.channels);
        std::vector<std::int16_t> out16(out_capacity * w.channels);
        const double fps = measure(o, frames, [&, quality = quality]() -> std::function<void()> {
            int err = 0;
            SpeexResamplerState* created =
                speex_resampler_init(static_cast<spx_uint32_t>(w.channels), w.in, w.out, quality, &err);
            if (created == nullptr) std::abort();
            std::shared_ptr<SpeexResamplerState> s(created, speex_resampler_destroy);
            return [&, s] {
                std::size_t produced = 0;
                for (std::size_t pos = 0; pos < frames; pos += chunk) {
                    spx_uint32_t n = static_cast<spx_uint32_t>(std::min(chunk, frames - pos));
                    spx_uint32_t o_len = static_cast<spx_uint32_t>(out_capacity);
                    if (w.int16) {
                        speex_resampler_process_interleaved_int(s.get(), input16.data() + pos * w.channels, &n,
                                                                out16.data(), &o_len);
                    } else {
                        speex_resampler_process_interleaved_float(s.get(), input.data() + pos * w.channels, &n,
                                                                  out.data(), &o_len);
                    }
                    produced += o_len;
                }
                sink = sink + static_cast<double>(produced);
            };
        });
        emit(w, "speexdsp", "q" + std::to_string(quality), fps);
    }
}

// Construction of one stereo stream of `Core` (median of several) and the
// heap bytes one holds after a first 20 ms chunk (16 streams of a design).
template <typename Core, typename Sample>
void construction_case(const Options& o, std::uint32_t in, std::uint32_t out, Quality quality, const char* name,
                       Sample level) {
    tenvira::ResamplerConfig config;
    config.input_rate = in;
    config.output_rate = out;
    config.channels = 2;
    config.quality = quality;
    config.max_input_frames_per_chunk = in / 50;
    const int n = o.quick ? 5 : 21;
    std::vector<double> times;
    for (int i = 0; i < n; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto engine = Core::create(config).value();
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        sink = sink + static_cast<double>(engine.filter_bank().taps);
    }
    std::sort(times.begin(), times.end());
    const auto before = mallinfo2().uordblks;
    std::vector<Core> engines;
    engines.reserve(16);
    const std::vector<Sample> chunk(2 * (in / 50), level);
    for (int i = 0; i < 16; ++i) {
        engines.push_back(Core::create(config).value());
        engines.back().process(chunk);
    }
    const auto after = mallinfo2().uordblks;
    std::printf("{\"construction\": \"%u->%u\", \"quality\": \"%s\", \"microseconds\": %.1f, \"bytes\": %zu}\n", in,
                out, name, times[times.size() / 2], (after - before) / 16);
}

// Construction cost and heap bytes per stream, by quality and path.
void bench_construction(const Options& o) {
    struct Case {
        std::uint32_t in, out;
    };
    const Case cases[] = {{48000, 16000}, {44100, 48000}, {16000, 8000}, {8000, 16000}, {24000, 8000}, {16000, 24000}};
    const std::pair<Quality, const char*> qualities[] = {{Quality::Fast, "fast"},
                                                         {Quality::Balanced, "balanced"},
                                                         {Quality::Best, "best"},
                                                         {Quality::Hq, "hq"},
                                                         {Quality::Vhq, "vhq"}};
    for (const auto& c : cases) {
        for (const auto& [quality, qname] : qualities) {
            construction_case<tenvira::CoreF32>(o, c.in, c.out, quality, qname, 0.25f);
        }
        // int16 streams at the studio presets round their own rows.
        construction_case<tenvira::CoreI16>(o, c.in, c.out, Quality::Hq, "hq int16", std::int16_t{8192});
        construction_case<tenvira::CoreI16>(o, c.in, c.out, Quality::Vhq, "vhq int16", std::int16_t{8192});
        // The same for soxr at HQ and VHQ (float32 and int16 samples):
        // creation, and the heap after a first chunk (soxr designs some of
        // its filters then).
        for (const auto& [recipe, name, datatype] :
             {std::tuple{SOXR_HQ, "soxr HQ", SOXR_FLOAT32_I}, std::tuple{SOXR_VHQ, "soxr VHQ", SOXR_FLOAT32_I},
              std::tuple{SOXR_HQ, "soxr HQ int16", SOXR_INT16_I}, std::tuple{SOXR_VHQ, "soxr VHQ int16", SOXR_INT16_I}}) {
            const soxr_io_spec_t io = soxr_io_spec(datatype, datatype);
            const soxr_quality_spec_t q = soxr_quality_spec(recipe, 0);
            const soxr_runtime_spec_t rt = soxr_runtime_spec(1);
            const std::vector<float> chunk(2 * (c.in / 50), 0.25f);
            std::vector<float> out(2 * (c.out / 50 + 64));
            const int n = o.quick ? 5 : 21;
            std::vector<double> times;
            const auto before = mallinfo2().uordblks;
            std::vector<std::shared_ptr<soxr>> held;
            for (int i = 0; i < n; ++i) {
                const auto start = std::chrono::steady_clock::now();
                soxr_error_t err = nullptr;
                soxr_t s = soxr_create(c.in, c.out, 2, &err, &io, &q, &rt);
                if (err) std::abort();
                std::size_t idone = 0, odone = 0;
                soxr_process(s, chunk.data(), chunk.size() / 2, &idone, out.data(), out.size() / 2, &odone);
                times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
                held.emplace_back(s, soxr_delete);
            }
            const auto after = mallinfo2().uordblks;
            std::sort(times.begin(), times.end());
            std::printf(
                "{\"construction\": \"%u->%u\", \"quality\": \"%s (first chunk included)\", \"microseconds\": %.1f, "
                "\"bytes\": %zu}\n",
                c.in, c.out, name, times[times.size() / 2], (after - before) / static_cast<std::size_t>(n));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            o.quick = true;
            o.seconds = 0.5;
            o.runs = 3;
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            o.seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--tenvira-only") == 0) {
            o.tenvira_only = true;
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            o.runs = std::atoi(argv[++i]);
        }
    }

    if (!o.tenvira_only) bench_construction(o);

    const std::pair<std::uint32_t, std::uint32_t> pairs[] = {{48000, 16000}, {44100, 48000}, {16000, 8000},
                                                             {8000, 16000},  {24000, 8000},  {16000, 24000}};
    for (const auto& [in, out] : pairs) {
        for (std::uint64_t channels : {1, 2}) {
            for (bool int16 : {false, true}) {
                const Workload w{in, out, channels, int16};
                const std::size_t frames = static_cast<std::size_t>(o.seconds * in);
                const std::size_t chunk = in / 50;
                const std::vector<float> signal = make_signal(w, frames);
                const std::vector<std::int16_t> signal16 = to_i16(signal);
                if (int16) {
                    bench_tenvira(o, w, signal16, chunk);
                } else {
                    bench_tenvira(o, w, signal, chunk);
                }
                if (o.tenvira_only) continue;
                if (int16) {
                    bench_soxr(o, w, signal16.data(), frames, chunk);
                } else {
                    bench_soxr(o, w, signal.data(), frames, chunk);
                }
                bench_libsamplerate(o, w, signal, chunk);
                bench_speex(o, w, signal, chunk);
            }
        }
    }
    return 0;
}
