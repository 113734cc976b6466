// The stream engines against the independent reference renderer: bit for bit
// on the scalar backend, per call and in total, on every path, for 1, 2 and 3
// channels; the vector backends against a model of their kernels; and the
// same output however the input is divided into calls.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "engine_reference.hpp"

namespace tenvira {
namespace {

using namespace engine_test;

struct StreamCase {
    std::uint32_t in;
    std::uint32_t out;
    Quality quality;
    std::uint64_t channels;
};

std::string case_name(const ::testing::TestParamInfo<StreamCase>& info) {
    const StreamCase& c = info.param;
    return std::to_string(c.in) + "_to_" + std::to_string(c.out) + "_" + quality_text(c.quality) + "_" +
           std::to_string(c.channels) + "ch";
}

constexpr Quality all_qualities[] = {Quality::Fast, Quality::Balanced, Quality::Best};

std::vector<StreamCase> reference_cases() {
    std::vector<StreamCase> cases;
    for (std::uint64_t ch : {1, 2, 3}) {
        // Polyphase: up, down and equal rates.
        for (auto [in, out] : {std::pair{44100u, 48000u}, std::pair{48000u, 16000u}, std::pair{16000u, 24000u},
                               std::pair{24000u, 16000u}, std::pair{16000u, 16000u}}) {
            for (Quality q : all_qualities) cases.push_back({in, out, q, ch});
        }
        // Fixed half-band and third-band filters.
        for (Quality q : {Quality::Balanced, Quality::Best}) {
            cases.push_back({16000, 8000, q, ch});
            cases.push_back({8000, 16000, q, ch});
        }
        for (Quality q : all_qualities) cases.push_back({24000, 8000, q, ch});
        // Allpass converters.
        cases.push_back({8000, 16000, Quality::Fast, ch});
        cases.push_back({16000, 8000, Quality::Fast, ch});
    }
    // Strong decimation, where windows lie far apart and are read one by
    // one, and strong interpolation, where many frames share a window.
    cases.push_back({48000, 1000, Quality::Fast, 2});
    cases.push_back({44100, 300, Quality::Best, 1});
    cases.push_back({1000, 48000, Quality::Balanced, 1});
    return cases;
}

// Drives the engine with an irregular chunk schedule and compares every
// call, the finish and the final counters with the reference.
template <typename S>
void expect_matches_reference(const StreamCase& c, BackendRequest backend, std::size_t frames, std::uint64_t seed) {
    const ResamplerConfig config = make_config(c.in, c.out, c.channels, c.quality, backend);
    const std::vector<S> input = test_signal<S>(frames, c.channels, seed);
    const std::vector<std::size_t> chunks = irregular_chunks(frames, seed + 7);

    Core<S> core = make_core<S>(config);
    const std::vector<Call<S>> calls = run_engine<S>(core, input, chunks);
    ASSERT_EQ(calls.size(), chunks.size() + 1);

    ReferenceStream<S> ref(config, input, kernel_model(core.backend()));
    const std::string backend_text = backend_name(core.backend());
    std::int64_t frames_in = 0;
    for (std::size_t i = 0; i <= chunks.size(); ++i) {
        const bool is_finish = i == chunks.size();
        if (!is_finish) frames_in += static_cast<std::int64_t>(chunks[i]);
        const std::vector<S> expected = is_finish ? ref.finish() : ref.process_to(frames_in);
        const Call<S>& got = calls[i];
        const auto ok = same_samples(got.samples, expected, c.channels);
        EXPECT_TRUE(ok) << (is_finish ? std::string("finish") : "call " + std::to_string(i)) << " with "
                        << (is_finish ? 0 : chunks[i]) << " frames, " << frames_in << " frames in all";
        if (!ok) return;  // later calls would only repeat the difference
        EXPECT_EQ(got.stats.input_frames, is_finish ? 0u : chunks[i]);
        EXPECT_EQ(got.stats.output_frames, expected.size() / c.channels);
        EXPECT_EQ(got.stats.backend_name(), backend_text);
        // The sizing hint covers what a call produces in normal streaming.
        if (!is_finish) {
            EXPECT_LE(got.samples.size(), core.required_output_capacity(chunks[i])) << "call " << i;
        }
    }
    EXPECT_EQ(static_cast<std::uint64_t>(core.frames_out()), expected_total(frames, c.in, c.out));
    EXPECT_EQ(core.frames_in(), static_cast<std::int64_t>(frames));
    if (!core.iir()) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(core.position()), std::bit_cast<std::uint64_t>(ref.position()));
    } else {
        EXPECT_EQ(core.iir_cursor(), core.frames_in());
    }
}

class EngineReference : public ::testing::TestWithParam<StreamCase> {};

TEST_P(EngineReference, Float32ScalarMatchesBitForBit) {
    expect_matches_reference<float>(GetParam(), BackendRequest::Scalar, 3001, 11);
}

TEST_P(EngineReference, Int16ScalarMatchesBitForBit) {
    expect_matches_reference<std::int16_t>(GetParam(), BackendRequest::Scalar, 3001, 12);
}

INSTANTIATE_TEST_SUITE_P(, EngineReference, ::testing::ValuesIn(reference_cases()), case_name);

// ---------------------------------------------------------------------------
// Vector backends

struct BackendCase {
    StreamCase stream;
    BackendRequest backend;
};

std::string backend_case_name(const ::testing::TestParamInfo<BackendCase>& info) {
    const std::string b = info.param.backend == BackendRequest::Avx2 ? "avx2" : "avx512";
    return b + "_" + case_name({info.param.stream, info.index});
}

std::vector<BackendCase> backend_cases() {
    std::vector<BackendCase> cases;
    for (BackendRequest b : {BackendRequest::Avx2, BackendRequest::Avx512}) {
        for (std::uint64_t ch : {1, 3}) {
            for (auto [in, out] : {std::pair{44100u, 48000u}, std::pair{48000u, 16000u}, std::pair{16000u, 24000u},
                                   std::pair{24000u, 16000u}, std::pair{16000u, 16000u}}) {
                for (Quality q : all_qualities) cases.push_back({{in, out, q, ch}, b});
            }
        }
        cases.push_back({{16000, 8000, Quality::Best, 2}, b});
        cases.push_back({{8000, 16000, Quality::Balanced, 2}, b});
        cases.push_back({{24000, 8000, Quality::Fast, 2}, b});
        cases.push_back({{8000, 16000, Quality::Fast, 2}, b});
        cases.push_back({{16000, 8000, Quality::Fast, 3}, b});
    }
    return cases;
}

class EngineBackends : public ::testing::TestWithParam<BackendCase> {
protected:
    void SetUp() override {
        if (!backend_available(GetParam().backend)) GTEST_SKIP() << "backend not available on this processor";
    }
};

// float32 output of a vector backend is that of its own kernel arithmetic.
TEST_P(EngineBackends, Float32MatchesKernelModel) {
    expect_matches_reference<float>(GetParam().stream, GetParam().backend, 2003, 21);
}

// int16 output does not depend on the backend.
TEST_P(EngineBackends, Int16IdenticalToScalar) {
    const StreamCase& c = GetParam().stream;
    const std::size_t frames = 2003;
    const std::vector<std::int16_t> input = test_signal<std::int16_t>(frames, c.channels, 22);
    const std::vector<std::size_t> chunks = irregular_chunks(frames, 23);
    const std::vector<std::int16_t> scalar =
        whole_stream<std::int16_t>(make_config(c.in, c.out, c.channels, c.quality), input, chunks);
    const std::vector<std::int16_t> vector = whole_stream<std::int16_t>(
        make_config(c.in, c.out, c.channels, c.quality, GetParam().backend), input, chunks);
    EXPECT_TRUE(same_samples(vector, scalar, c.channels));
}

// float32 output of a vector backend stays within rounding of the scalar
// output on the polyphase path, and equals it on the paths that use no
// kernel.
TEST_P(EngineBackends, Float32CloseToScalar) {
    const StreamCase& c = GetParam().stream;
    const std::size_t frames = 2003;
    const std::vector<float> input = test_signal<float>(frames, c.channels, 24);
    const std::vector<std::size_t> chunks = irregular_chunks(frames, 25);
    const std::vector<float> scalar =
        whole_stream<float>(make_config(c.in, c.out, c.channels, c.quality), input, chunks);
    const std::vector<float> vector =
        whole_stream<float>(make_config(c.in, c.out, c.channels, c.quality, GetParam().backend), input, chunks);
    if (expected_scheme(c.in, c.out, c.quality) != Scheme::Polyphase) {
        EXPECT_TRUE(same_samples(vector, scalar, c.channels));
        return;
    }
    ASSERT_EQ(vector.size(), scalar.size());
    for (std::size_t i = 0; i < scalar.size(); ++i) {
        ASSERT_NEAR(vector[i], scalar[i], 1e-5f) << "frame " << i / c.channels << ", channel " << i % c.channels;
    }
}

INSTANTIATE_TEST_SUITE_P(, EngineBackends, ::testing::ValuesIn(backend_cases()), backend_case_name);

// ---------------------------------------------------------------------------
// Chunking invariance

std::vector<StreamCase> chunking_cases() {
    return {
        {44100, 48000, Quality::Best, 2},  {48000, 16000, Quality::Fast, 1},   {16000, 24000, Quality::Fast, 3},
        {24000, 16000, Quality::Best, 1},  {16000, 16000, Quality::Balanced, 2}, {11025, 44100, Quality::Fast, 1},
        {8000, 16000, Quality::Best, 2},   {16000, 8000, Quality::Balanced, 3},  {24000, 8000, Quality::Fast, 1},
        {24000, 8000, Quality::Best, 2},   {8000, 16000, Quality::Fast, 1},      {8000, 16000, Quality::Fast, 2},
        {8000, 16000, Quality::Fast, 3},   {16000, 8000, Quality::Fast, 1},      {16000, 8000, Quality::Fast, 2},
        {16000, 8000, Quality::Fast, 3},
    };
}

// One call, single frames and two irregular schedules give the same output
// sequence, on the processor's preferred backend.
template <typename S>
void expect_chunking_invariant(const StreamCase& c) {
    const std::size_t frames = 1499;
    const ResamplerConfig config = make_config(c.in, c.out, c.channels, c.quality, BackendRequest::Auto);
    const std::vector<S> input = test_signal<S>(frames, c.channels, 31);
    const std::vector<std::size_t> one_call{frames};
    const std::vector<S> whole = whole_stream<S>(config, input, one_call);
    EXPECT_EQ(whole.size() / c.channels, expected_total(frames, c.in, c.out));
    EXPECT_TRUE(same_samples(whole_stream<S>(config, input, single_frames(frames)), whole, c.channels))
        << "single frames";
    EXPECT_TRUE(same_samples(whole_stream<S>(config, input, irregular_chunks(frames, 32)), whole, c.channels))
        << "irregular chunks";
    EXPECT_TRUE(same_samples(whole_stream<S>(config, input, irregular_chunks(frames, 33)), whole, c.channels))
        << "other irregular chunks";
}

class EngineChunking : public ::testing::TestWithParam<StreamCase> {};

TEST_P(EngineChunking, Float32SameOutputForEveryChunking) { expect_chunking_invariant<float>(GetParam()); }

TEST_P(EngineChunking, Int16SameOutputForEveryChunking) { expect_chunking_invariant<std::int16_t>(GetParam()); }

INSTANTIATE_TEST_SUITE_P(, EngineChunking, ::testing::ValuesIn(chunking_cases()), case_name);

}  // namespace
}  // namespace tenvira
