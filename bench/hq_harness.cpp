// Command-line access to the studio-quality path for measurements:
//
//   hq_harness stream IN OUT hq|vhq f32|i16 BACKEND CHANNELS CHUNK  < raw input > raw output
//   hq_harness holdback IN OUT hq|vhq f32|i16 FRAMES      one frame per call; prints the hold-back
//   hq_harness speed IN OUT hq|vhq CHANNELS BACKEND       20 ms chunks of float32, best of 7; Mframes/s
//   hq_harness info IN OUT hq|vhq f32|i16                  the design: stages, lengths, tables, cost
//
// BACKEND is scalar, avx2 or avx512. Raw samples are native-endian float32
// or int16, interleaved.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "resampler/hq_stream.hpp"

using namespace tenvira;

namespace {

HqPreset preset_of(const char* s) { return std::strcmp(s, "vhq") == 0 ? HqPreset::Vhq : HqPreset::Hq; }

FirBackend backend_of(const char* s) {
    if (std::strcmp(s, "avx512") == 0) return FirBackend::Avx512f;
    if (std::strcmp(s, "avx2") == 0) return FirBackend::Avx2Fma;
    return FirBackend::Scalar;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

template <typename S>
int stream(std::uint32_t in, std::uint32_t out, HqPreset preset, FirBackend backend, std::uint64_t channels,
           std::uint64_t chunk) {
    HqStream<S> s(in, out, channels, preset, backend);
    std::vector<S> x(chunk * channels);
    std::vector<S> y;
    for (;;) {
        const std::size_t got = std::fread(x.data(), sizeof(S) * channels, chunk, stdin);
        s.append(x.data(), got);
        y.resize(s.frames_due_after(0) * channels);
        const std::uint64_t n = s.render(y.data(), y.size() / channels, false);
        std::fwrite(y.data(), sizeof(S) * channels, n, stdout);
        if (got < chunk) break;
    }
    y.resize(s.pending_at_end() * channels);
    const std::uint64_t n = s.render(y.data(), y.size() / channels, true);
    std::fwrite(y.data(), sizeof(S) * channels, n, stdout);
    return 0;
}

template <typename S>
int holdback(std::uint32_t in, std::uint32_t out, HqPreset preset, std::uint64_t frames) {
    HqStream<S> s(in, out, 1, preset, FirBackend::Scalar);
    double worst = -1e300;
    std::vector<S> y(16 + 2 * out / in);
    const S one = S(1);
    for (std::uint64_t k = 0; k < frames; ++k) {
        s.append(&one, 1);
        const std::uint64_t before = s.frames_out();
        const std::uint64_t n = s.render(y.data(), y.size(), false);
        for (std::uint64_t i = before; i < before + n; ++i) {
            worst = std::max(worst, static_cast<double>(k + 1) - static_cast<double>(i) * in / out);
        }
    }
    std::printf("%.3f %llu\n", worst, static_cast<unsigned long long>(s.hold_back()));
    return 0;
}

int speed(std::uint32_t in, std::uint32_t out, HqPreset preset, std::uint64_t channels, FirBackend backend) {
    const std::uint64_t chunk = in / 50;
    const std::uint64_t frames = 2 * static_cast<std::uint64_t>(in);
    std::vector<float> x(frames * channels);
    std::uint32_t seed = 1;
    for (float& v : x) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    }
    std::vector<float> y((frames * out / in + 64) * channels);
    double best = 0.0;
    for (int run = 0; run < 7; ++run) {
        HqStream<float> s(in, out, channels, preset, backend);
        const auto t = std::chrono::steady_clock::now();
        std::uint64_t at = 0;
        for (std::uint64_t f = 0; f < frames; f += chunk) {
            const std::uint64_t n = std::min(chunk, frames - f);
            s.append(x.data() + f * channels, n);
            at += s.render(y.data() + at * channels, s.frames_due_after(0), false);
        }
        best = std::max(best, static_cast<double>(frames) / seconds_since(t));
    }
    std::printf("%.1f\n", best / 1e6);
    return 0;
}

int info(std::uint32_t in, std::uint32_t out, HqPreset preset, bool integer) {
    // A design of another pair first, so that the one timed is the first of
    // its own design in a warm process, as in a program that resamples.
    static_cast<void>(HqDesign::build(in + 1, out, preset, integer ? HqArithmetic::I16 : HqArithmetic::F32));
    const auto t = std::chrono::steady_clock::now();
    const auto design = integer ? HqStream<std::int16_t>::design_for(in, out, preset)
                                : HqStream<float>::design_for(in, out, preset);
    const double micros = seconds_since(t) * 1e6;
    const HqPolyphase& p = design->polyphase();
    std::size_t bytes = p.rows_f32.byte_size() + p.rows_f64.byte_size() + p.rows_centre.byte_size();
    std::printf("half-bands:");
    for (const HqHalfBand& h : design->half_bands()) {
        std::printf(" %llu", static_cast<unsigned long long>(2 * h.reach + 1));
        bytes += h.taps_f32.byte_size() + h.taps_f64.byte_size();
    }
    std::printf("\nstep %llu/%llu taps %llu (2x%llu ahead) rows %llu table %llu\n",
                static_cast<unsigned long long>(p.step_num), static_cast<unsigned long long>(p.step_den),
                static_cast<unsigned long long>(p.taps), static_cast<unsigned long long>(p.ahead),
                static_cast<unsigned long long>(p.rows), static_cast<unsigned long long>(p.table));
    for (std::uint64_t channels = 1; channels <= 2; ++channels) {
        const HqOverlapSave* f = p.blocks_for(channels);
        if (f == nullptr) continue;
        if (channels == 1 || f != p.blocks_for(1)) bytes += f->byte_size();
        std::printf("overlap-save, %s: %llu frames per block, %llu new, %llu outputs, split %llu; hold-back %llu\n",
                    channels == 1 ? "mono" : "stereo", static_cast<unsigned long long>(f->size()),
                    static_cast<unsigned long long>(f->stride()), static_cast<unsigned long long>(f->outputs()),
                    static_cast<unsigned long long>(f->split()),
                    static_cast<unsigned long long>(design->hold_back(channels)));
    }
    std::printf("hold-back %llu frames; %.1f multiply-adds per output; design %.0f us, %zu bytes\n",
                static_cast<unsigned long long>(design->hold_back(1)), design->multiply_adds_per_output(), micros,
                bytes);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: see the comment at the top of bench/hq_harness.cpp\n");
        return 2;
    }
    const std::string mode = argv[1];
    const auto in = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const auto out = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const HqPreset preset = preset_of(argv[4]);
    const bool integer = argc > 5 && std::strcmp(argv[5], "i16") == 0;
    if (mode == "stream" && argc == 9) {
        const auto channels = std::strtoull(argv[7], nullptr, 10);
        const auto chunk = std::strtoull(argv[8], nullptr, 10);
        return integer ? stream<std::int16_t>(in, out, preset, backend_of(argv[6]), channels, chunk)
                       : stream<float>(in, out, preset, backend_of(argv[6]), channels, chunk);
    }
    if (mode == "holdback" && argc == 7) {
        const auto frames = std::strtoull(argv[6], nullptr, 10);
        return integer ? holdback<std::int16_t>(in, out, preset, frames) : holdback<float>(in, out, preset, frames);
    }
    if (mode == "speed" && argc == 7) {
        return speed(in, out, preset, std::strtoull(argv[5], nullptr, 10), backend_of(argv[6]));
    }
    if (mode == "info" && argc == 6) return info(in, out, preset, integer);
    std::fprintf(stderr, "usage: see the comment at the top of bench/hq_harness.cpp\n");
    return 2;
}
