// Stream-level behaviour of the engines: exact stream totals, when each
// output frame becomes available, end of stream, reset, misaligned input,
// output capacity and bounded memory.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine_reference.hpp"

namespace tenvira {
namespace {

using namespace engine_test;

struct PathCase {
    std::uint32_t in;
    std::uint32_t out;
    Quality quality;
};

std::string path_name(const ::testing::TestParamInfo<PathCase>& info) {
    return std::to_string(info.param.in) + "_to_" + std::to_string(info.param.out) + "_" +
           quality_text(info.param.quality);
}

// Every rendering scheme, plus ratios that are far from 1, irrational-looking
// or inexact in float64.
const PathCase path_cases[] = {
    {44100, 48000, Quality::Fast},     {48000, 44100, Quality::Balanced}, {16000, 24000, Quality::Fast},
    {24000, 16000, Quality::Best},     {16000, 16000, Quality::Balanced}, {8000, 24000, Quality::Fast},
    {96000, 8000, Quality::Fast},      {11025, 48000, Quality::Best},     {48000, 7, Quality::Fast},
    {3, 7, Quality::Balanced},         {8000, 16000, Quality::Balanced},  {16000, 8000, Quality::Best},
    {24000, 8000, Quality::Fast},      {24000, 8000, Quality::Best},      {8000, 16000, Quality::Fast},
    {16000, 8000, Quality::Fast},
};

const std::uint64_t stream_lengths[] = {0,  1,  2,  3,  4,  5,  7,   11,  12,  13,  23,  24,  25,  26,  47,
                                        48, 49, 50, 95, 96, 97, 98,  99,  100, 101, 127, 306, 441, 999, 1000,
                                        1001, 2048, 4099};

// ---------------------------------------------------------------------------
// Stream totals

class EngineTotals : public ::testing::TestWithParam<PathCase> {};

template <typename S>
void expect_exact_totals(const PathCase& p) {
    for (std::uint64_t n : stream_lengths) {
        for (std::uint64_t channels : {1u, 2u}) {
            Core<S> core = make_core<S>(make_config(p.in, p.out, channels, p.quality));
            const std::vector<S> input = test_signal<S>(n, channels, n + 1);
            const std::vector<std::size_t> one_call{n};
            const std::vector<Call<S>> calls = run_engine<S>(core, input, one_call);
            ASSERT_EQ(calls.size(), 2u);
            const std::uint64_t total = calls[0].stats.output_frames + calls[1].stats.output_frames;
            EXPECT_EQ(total, expected_total(n, p.in, p.out)) << n << " frames, " << channels << " channels";
            EXPECT_EQ(calls[0].samples.size() + calls[1].samples.size(), total * channels);
            EXPECT_EQ(static_cast<std::uint64_t>(core.frames_out()), total);
        }
    }
}

TEST_P(EngineTotals, Float32StreamTotalIsCeilOfScaledLength) { expect_exact_totals<float>(GetParam()); }

TEST_P(EngineTotals, Int16StreamTotalIsCeilOfScaledLength) { expect_exact_totals<std::int16_t>(GetParam()); }

// The split between process and finish depends on the chunking; the total
// does not.
TEST_P(EngineTotals, TotalIndependentOfChunking) {
    const PathCase& p = GetParam();
    for (std::uint64_t n : {1u, 13u, 97u, 1001u}) {
        const ResamplerConfig config = make_config(p.in, p.out, 1, p.quality);
        const std::vector<float> input = test_signal<float>(n, 1, 5);
        const std::vector<std::size_t> chunkings[] = {single_frames(n), irregular_chunks(n, n)};
        for (const auto& chunks : chunkings) {
            EXPECT_EQ(whole_stream<float>(config, input, chunks).size(), expected_total(n, p.in, p.out)) << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(, EngineTotals, ::testing::ValuesIn(path_cases), path_name);

// ---------------------------------------------------------------------------
// When output frames become available

// Output frames returned by one `process` call of `frames` frames into a
// fresh mono engine, and then by `finish`.
std::pair<std::uint64_t, std::uint64_t> split_of_one_call(std::uint32_t in, std::uint32_t out, Quality q,
                                                          std::size_t frames) {
    Core<float> core = make_core<float>(make_config(in, out, 1, q));
    const std::vector<float> input = test_signal<float>(frames, 1, 3);
    const std::vector<std::size_t> chunks{frames};
    const std::vector<Call<float>> calls = run_engine<float>(core, input, chunks);
    return {calls.at(0).stats.output_frames, calls.at(1).stats.output_frames};
}

TEST(EngineAvailability, PolyphaseLooksAheadHalfARow) {
    // Fast 24000 -> 16000: frame 0 needs input frame 12.
    EXPECT_EQ(split_of_one_call(24000, 16000, Quality::Fast, 12).first, 0u);
    EXPECT_EQ(split_of_one_call(24000, 16000, Quality::Fast, 13).first, 1u);
}

TEST(EngineAvailability, FirstPolyphaseFrameReadsZerosBeforeTheStream) {
    // Window of frame 0 is input frames -11 ... 12; only 0 ... 12 exist.
    Core<float> core = make_core<float>(make_config(24000, 16000, 1, Quality::Fast));
    std::vector<float> input(13, 0.0f);
    input[12] = 1.0f;
    Result<ProcessOutput<float>> r = core.process(input);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.value().samples.size(), 1u);
    // Row 0, last tap, times 1.0.
    EXPECT_EQ(std::bit_cast<std::uint32_t>(r.value().samples[0]),
              std::bit_cast<std::uint32_t>(core.filter_bank().polyphase()->coeffs_f32[23]));
}

TEST(EngineAvailability, OneFrameAtAThirdOfTheRate) {
    for (Quality q : {Quality::Fast, Quality::Balanced, Quality::Best}) {
        const auto [processed, finished] = split_of_one_call(24000, 16000, q, 1);
        EXPECT_EQ(processed, 0u) << quality_text(q);
        EXPECT_EQ(finished, 1u) << quality_text(q);
    }
}

TEST(EngineAvailability, HalfBandDownNeedsCentreFramesAhead) {
    // Balanced 16000 -> 8000: frame i once input frame 2i + 24 is there.
    EXPECT_EQ(split_of_one_call(16000, 8000, Quality::Balanced, 24).first, 0u);
    EXPECT_EQ(split_of_one_call(16000, 8000, Quality::Balanced, 25).first, 1u);
    EXPECT_EQ(split_of_one_call(16000, 8000, Quality::Balanced, 26).first, 1u);
    EXPECT_EQ(split_of_one_call(16000, 8000, Quality::Balanced, 27).first, 2u);
}

TEST(EngineAvailability, FixedPathsEmitExactlyWhenTheFarthestTapArrives) {
    // Fed one frame per call, output frame i of a fixed path appears in the
    // call that appends input frame m + centre, where m = i × in / out
    // (integer quotient) is the frame it is centred on and centre the centre
    // tap index of the fixed filter.
    struct Fixed {
        std::uint32_t in, out;
        Quality q;
        std::int64_t centre;
    };
    for (const Fixed& f : {Fixed{24000, 8000, Quality::Best, 48}, Fixed{24000, 8000, Quality::Fast, 12},
                           Fixed{16000, 8000, Quality::Best, 48}, Fixed{8000, 16000, Quality::Balanced, 24}}) {
        Core<std::int16_t> core = make_core<std::int16_t>(make_config(f.in, f.out, 1, f.q));
        const std::vector<std::int16_t> input = test_signal<std::int16_t>(400, 1, 9);
        std::int64_t emitted = 0;
        for (std::int64_t n = 1; n <= 400; ++n) {
            Result<ProcessOutput<std::int16_t>> r = core.process(std::span(input).subspan(n - 1, 1));
            ASSERT_TRUE(r.ok());
            for (std::uint64_t k = 0; k < r.value().stats.output_frames; ++k, ++emitted) {
                // Input position of output frame `emitted`, in whole frames.
                const std::int64_t m = emitted * static_cast<std::int64_t>(f.in) / static_cast<std::int64_t>(f.out);
                EXPECT_EQ(n - 1, m + f.centre) << f.in << " -> " << f.out << ", output frame " << emitted;
            }
        }
        EXPECT_GT(emitted, 0);
    }
}

TEST(EngineAvailability, PositionAccumulatesByRepeatedAddition) {
    // Six additions of the float64 nearest 2/3 give 3.9999999999999996, so
    // the seventh frame (index 6) reads up to input frame 15 like the sixth:
    // 15 frames give 5 frames and 16 frames give 7, not 6.
    EXPECT_EQ(split_of_one_call(16000, 24000, Quality::Fast, 15).first, 5u);
    EXPECT_EQ(split_of_one_call(16000, 24000, Quality::Fast, 16).first, 7u);
    EXPECT_EQ(split_of_one_call(16000, 24000, Quality::Fast, 17).first, 8u);
    EXPECT_EQ(split_of_one_call(44100, 48000, Quality::Fast, 306).first, 321u);

    Core<float> core = make_core<float>(make_config(16000, 24000, 1, Quality::Fast));
    std::vector<float> input(16, 0.25f);
    ASSERT_TRUE(core.process(input).ok());
    double expected = 0.0;
    for (int i = 0; i < 7; ++i) expected = expected + 16000.0 / 24000.0;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(core.position()), std::bit_cast<std::uint64_t>(expected));
    EXPECT_EQ(core.frames_out(), 7);
}

TEST(EngineAvailability, StreamOf441FramesAtThreeHalves) {
    const auto [processed, finished] = split_of_one_call(16000, 24000, Quality::Balanced, 441);
    EXPECT_EQ(processed + finished, 662u);
}

TEST(EngineAvailability, IirDownEmitsOneFramePerCompletePair) {
    for (std::uint64_t channels : {1u, 2u, 3u}) {
        Core<float> core = make_core<float>(make_config(16000, 8000, channels, Quality::Fast));
        const std::vector<float> input = test_signal<float>(6, channels, 1);
        const std::vector<std::size_t> three_and_three{3, 3};
        const std::vector<Call<float>> calls = run_engine<float>(core, input, three_and_three);
        EXPECT_EQ(calls[0].stats.output_frames, 1u);
        EXPECT_EQ(calls[1].stats.output_frames, 2u);
        EXPECT_EQ(calls[2].stats.output_frames, 0u);

        Core<float> five = make_core<float>(make_config(16000, 8000, channels, Quality::Fast));
        const std::vector<std::size_t> one_call{5};
        const std::vector<Call<float>> c5 = run_engine<float>(five, std::span(input).first(5 * channels), one_call);
        EXPECT_EQ(c5[0].stats.output_frames, 2u);
        EXPECT_EQ(c5[1].stats.output_frames, 1u);
        EXPECT_EQ(five.iir_cursor(), 5);
    }
}

TEST(EngineAvailability, IirDownLastFrameUsesZeroPartner) {
    // Frame 4 alone at the end: branch B of frame 4 plus branch A of 0.0.
    Core<float> core = make_core<float>(make_config(16000, 8000, 1, Quality::Fast));
    const std::vector<float> input = test_signal<float>(5, 1, 2);
    const std::vector<std::size_t> one_call{5};
    const std::vector<Call<float>> calls = run_engine<float>(core, input, one_call);
    Iir2xFilter f;
    f.process_pair(input[0], input[1]);
    f.process_pair(input[2], input[3]);
    const std::array<float, 2> ab = f.process_pair(input[4], 0.0f);
    const float sum = ab[1] + ab[0];
    ASSERT_EQ(calls[1].samples.size(), 1u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(calls[1].samples[0]), std::bit_cast<std::uint32_t>(sum * 0.5f));
}

TEST(EngineAvailability, IirUpDoublesEveryCall) {
    for (std::uint64_t channels : {1u, 2u, 3u}) {
        Core<std::int16_t> core = make_core<std::int16_t>(make_config(8000, 16000, channels, Quality::Fast));
        const std::vector<std::size_t> chunks{1, 0, 3, 2, 17, 1};
        const std::vector<std::int16_t> input = test_signal<std::int16_t>(24, channels, 4);
        const std::vector<Call<std::int16_t>> calls = run_engine<std::int16_t>(core, input, chunks);
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            EXPECT_EQ(calls[i].stats.output_frames, 2 * chunks[i]) << "call " << i;
            EXPECT_EQ(calls[i].samples.size(), 2 * chunks[i] * channels);
        }
        EXPECT_TRUE(calls.back().samples.empty()) << "finish";
    }
}

// Each channel of a multichannel IIR stream is what a mono stream of that
// channel gives (the stereo form included).
TEST(EngineAvailability, IirChannelsAreIndependent) {
    for (auto [in, out] : {std::pair{8000u, 16000u}, std::pair{16000u, 8000u}}) {
        for (std::uint64_t channels : {2u, 3u}) {
            const std::size_t frames = 301;
            const std::vector<float> input = test_signal<float>(frames, channels, 8);
            const std::vector<std::size_t> chunks = irregular_chunks(frames, 9);
            const std::vector<float> multi =
                whole_stream<float>(make_config(in, out, channels, Quality::Fast), input, chunks);
            for (std::uint64_t k = 0; k < channels; ++k) {
                std::vector<float> mono_in(frames);
                for (std::size_t f = 0; f < frames; ++f) mono_in[f] = input[f * channels + k];
                const std::vector<float> mono =
                    whole_stream<float>(make_config(in, out, 1, Quality::Fast), mono_in, chunks);
                std::vector<float> picked;
                for (std::size_t i = k; i < multi.size(); i += channels) picked.push_back(multi[i]);
                EXPECT_TRUE(same_samples(picked, mono, 1)) << in << " -> " << out << ", " << channels
                                                           << " channels, channel " << k;
            }
        }
    }
}

TEST(EngineAvailability, HalfBandUpEvenFramesAreTheInput) {
    for (Quality q : {Quality::Balanced, Quality::Best}) {
        const std::size_t frames = 500;
        const std::vector<std::int16_t> input = test_signal<std::int16_t>(frames, 2, 6);
        const std::vector<std::size_t> chunks = irregular_chunks(frames, 7);
        const std::vector<std::int16_t> out =
            whole_stream<std::int16_t>(make_config(8000, 16000, 2, q), input, chunks);
        ASSERT_EQ(out.size(), 2 * input.size());
        for (std::size_t f = 0; f < frames; ++f) {
            ASSERT_EQ(out[4 * f], input[2 * f]) << "frame " << f;
            ASSERT_EQ(out[4 * f + 1], input[2 * f + 1]) << "frame " << f;
        }
    }
}

// ---------------------------------------------------------------------------
// finish, reset, misaligned input

class EngineLifecycle : public ::testing::TestWithParam<PathCase> {};

TEST_P(EngineLifecycle, FinishOnFreshEngineIsEmpty) {
    const PathCase& p = GetParam();
    Core<float> core = make_core<float>(make_config(p.in, p.out, 2, p.quality));
    const ProcessOutput<float> f = core.finish();
    EXPECT_TRUE(f.samples.empty());
    EXPECT_EQ(f.stats.input_frames, 0u);
    EXPECT_EQ(f.stats.output_frames, 0u);
    EXPECT_STREQ(f.stats.backend_name(), "scalar");
    EXPECT_TRUE(core.finished());
}

TEST_P(EngineLifecycle, SecondFinishAndLaterProcessAreEmpty) {
    const PathCase& p = GetParam();
    Core<std::int16_t> core = make_core<std::int16_t>(make_config(p.in, p.out, 2, p.quality));
    const std::vector<std::int16_t> input = test_signal<std::int16_t>(101, 2, 1);
    ASSERT_TRUE(core.process(input).ok());
    const ProcessOutput<std::int16_t> first = core.finish();
    EXPECT_EQ(static_cast<std::uint64_t>(core.frames_out()), expected_total(101, p.in, p.out));
    EXPECT_EQ(first.stats.input_frames, 0u);
    EXPECT_EQ(first.stats.output_frames, first.samples.size() / 2);

    const ProcessOutput<std::int16_t> second = core.finish();
    EXPECT_TRUE(second.samples.empty());
    EXPECT_EQ(second.stats.output_frames, 0u);

    // Input after finish is dropped without validation, misaligned or not.
    for (std::size_t n : {0u, 5u, 6u, 400u}) {
        Result<ProcessOutput<std::int16_t>> r = core.process(std::span(input).first(n));
        ASSERT_TRUE(r.ok()) << n << " samples";
        EXPECT_TRUE(r.value().samples.empty());
        EXPECT_EQ(r.value().stats.input_frames, 0u);
        EXPECT_EQ(r.value().stats.output_frames, 0u);
        EXPECT_STREQ(r.value().stats.backend_name(), "scalar");
    }
    EXPECT_EQ(core.frames_in(), 101);
    EXPECT_EQ(static_cast<std::uint64_t>(core.frames_out()), expected_total(101, p.in, p.out));
    EXPECT_TRUE(core.finish().samples.empty());
}

TEST_P(EngineLifecycle, MisalignedInputChangesNothing) {
    const PathCase& p = GetParam();
    const ResamplerConfig config = make_config(p.in, p.out, 2, p.quality);
    const std::vector<float> input = test_signal<float>(300, 2, 2);

    Core<float> core = make_core<float>(config);
    ASSERT_TRUE(core.process(std::span(input).first(2 * 100)).ok());
    const std::int64_t frames_in = core.frames_in();
    const std::int64_t frames_out = core.frames_out();
    const std::int64_t start = core.rings()[0].start();
    const std::int64_t len = core.rings()[0].len();
    const std::uint64_t capacity = core.rings()[0].capacity();

    // A large misaligned call: it must not even grow the rings.
    const std::vector<float> odd(4001, 0.5f);
    for (std::size_t n : {1u, 5u, 4001u}) {
        Result<ProcessOutput<float>> bad = core.process(std::span(odd).first(n));
        ASSERT_FALSE(bad.ok());
        EXPECT_EQ(bad.error().kind(), ResampleError::Kind::MisalignedInput);
        EXPECT_EQ(bad.error().samples(), n);
        EXPECT_EQ(bad.error().channels(), 2u);
    }
    Result<ProcessOutput<float>> five = core.process(std::span(odd).first(5));
    EXPECT_EQ(five.error().message(), "input has 5 samples, which is not divisible by 2 channels");
    EXPECT_EQ(core.frames_in(), frames_in);
    EXPECT_EQ(core.frames_out(), frames_out);
    EXPECT_EQ(core.rings()[0].start(), start);
    EXPECT_EQ(core.rings()[0].len(), len);
    EXPECT_EQ(core.rings()[0].capacity(), capacity);
    EXPECT_FALSE(core.finished());

    // A following aligned call continues the stream as if nothing happened.
    const std::vector<std::size_t> rest{3, 197};
    const std::vector<Call<float>> calls = run_engine<float>(core, std::span(input).subspan(2 * 100), rest);
    Core<float> clean = make_core<float>(config);
    const std::vector<std::size_t> same_schedule{100, 3, 197};
    const std::vector<Call<float>> expected = run_engine<float>(clean, input, same_schedule);
    ASSERT_EQ(calls.size() + 1, expected.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_TRUE(same_samples(calls[i].samples, expected[i + 1].samples, 2)) << "call " << i;
    }
}

TEST_P(EngineLifecycle, ResetStartsAFreshStream) {
    const PathCase& p = GetParam();
    for (std::uint64_t channels : {1u, 2u, 3u}) {
        const ResamplerConfig config = make_config(p.in, p.out, channels, p.quality);
        const std::vector<std::int16_t> first = test_signal<std::int16_t>(3000, channels, 40);
        const std::vector<std::int16_t> second = test_signal<std::int16_t>(777, channels, 41);
        const std::vector<std::size_t> chunks = irregular_chunks(777, 42);

        Core<std::int16_t> fresh = make_core<std::int16_t>(config);
        const std::uint64_t initial_capacity = fresh.rings()[0].capacity();
        const std::vector<Call<std::int16_t>> expected = run_engine<std::int16_t>(fresh, second, chunks);

        for (bool finish_first : {false, true}) {
            Core<std::int16_t> core = make_core<std::int16_t>(config);
            // One large call grows the rings beyond their initial size.
            const std::vector<std::size_t> big{3000};
            run_engine<std::int16_t>(core, first, big, finish_first);
            EXPECT_GT(core.rings()[0].capacity(), initial_capacity);

            core.reset();
            EXPECT_EQ(core.frames_in(), 0);
            EXPECT_EQ(core.frames_out(), 0);
            EXPECT_EQ(core.iir_cursor(), 0);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(core.position()), 0u);
            EXPECT_FALSE(core.finished());
            ASSERT_EQ(core.rings().size(), channels);
            for (const RingBuffer<std::int16_t>& ring : core.rings()) {
                EXPECT_EQ(ring.capacity(), initial_capacity);
                EXPECT_EQ(ring.start(), 0);
                EXPECT_EQ(ring.len(), 0);
            }
            const std::vector<Call<std::int16_t>> got = run_engine<std::int16_t>(core, second, chunks);
            ASSERT_EQ(got.size(), expected.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                ASSERT_TRUE(same_samples(got[i].samples, expected[i].samples, channels))
                    << "call " << i << ", " << channels << " channels, finished before reset: " << finish_first;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(, EngineLifecycle, ::testing::ValuesIn(path_cases), path_name);

TEST(EngineLifecycleFloat, ResetRestoresFloatStreamsToo) {
    // The allpass state and the float position restart with the stream.
    for (auto [in, out, q] : {std::tuple{8000u, 16000u, Quality::Fast}, std::tuple{16000u, 8000u, Quality::Fast},
                              std::tuple{44100u, 48000u, Quality::Best}}) {
        const ResamplerConfig config = make_config(in, out, 2, q);
        const std::vector<float> input = test_signal<float>(999, 2, 50);
        const std::vector<std::size_t> chunks = irregular_chunks(999, 51);
        const std::vector<float> expected = whole_stream<float>(config, input, chunks);
        Core<float> core = make_core<float>(config);
        run_engine<float>(core, input, chunks, false);
        core.reset();
        EXPECT_TRUE(same_samples(concat(run_engine<float>(core, input, chunks)), expected, 2)) << in << " -> " << out;
    }
}

// ---------------------------------------------------------------------------
// Output capacity

struct CapacityCase {
    std::uint32_t in, out;
    Quality quality;
    std::uint64_t channels;
    std::uint64_t frames;
    std::uint64_t expected;
};

class EngineOutputCapacity : public ::testing::TestWithParam<CapacityCase> {};

TEST_P(EngineOutputCapacity, SizingFormula) {
    const CapacityCase& c = GetParam();
    Core<float> f32 = make_core<float>(make_config(c.in, c.out, c.channels, c.quality));
    Core<std::int16_t> i16 = make_core<std::int16_t>(make_config(c.in, c.out, c.channels, c.quality));
    EXPECT_EQ(f32.required_output_capacity(c.frames), c.expected);
    EXPECT_EQ(i16.required_output_capacity(c.frames), c.expected);

    // It depends on the configuration only, not on the stream state.
    const std::vector<float> input(c.channels * 1000, 0.25f);
    ASSERT_TRUE(f32.process(input).ok());
    EXPECT_EQ(f32.required_output_capacity(c.frames), c.expected);
    f32.finish();
    EXPECT_EQ(f32.required_output_capacity(c.frames), c.expected);
}

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t two63 = std::uint64_t{1} << 63;

const CapacityCase capacity_cases[] = {
    // (100 + 24 + 2) × 16000 / 24000 = 84 frames, two channels.
    {24000, 16000, Quality::Balanced, 2, 100, 168},
    // No input still allows for the look-ahead: ceil(26 × 2 / 3) × 2.
    {24000, 16000, Quality::Balanced, 2, 0, 36},
    // 2^64 - 1 + 26 wraps to 25: ceil(25 × 2 / 3) × 2.
    {24000, 16000, Quality::Balanced, 2, u64_max, 34},
    // 2^63 + 26 reads as negative: nothing.
    {24000, 16000, Quality::Balanced, 2, two63, 0},
    {24000, 16000, Quality::Balanced, 2, two63 - 26, 0},
    // 2^63 - 1 frames after the look-ahead; (2^63 - 1) × 16000 wraps to
    // 2^64 - 16000.
    {24000, 16000, Quality::Balanced, 2, two63 - 27, 1537228672809128},
    // Fast: look-ahead 12 + 2. 2^64 - 13 + 14 wraps to 1 frame: 2 frames out.
    {1, 2, Quality::Fast, 1, u64_max - 12, 2},
    // 2^64 - 14 + 14 wraps to 0.
    {1, 2, Quality::Fast, 1, u64_max - 13, 0},
    // q = 8e18 + 28 fits, times 3 channels does not: saturates.
    {1, 2, Quality::Fast, 3, 4000000000000000000, u64_max},
    // q = 6e18 + 28, times 3 channels still fits.
    {1, 2, Quality::Fast, 3, 3000000000000000000, 18000000000000000084ull},
    // q = 1.2e19 + 42 reads as negative: nothing.
    {1, 3, Quality::Fast, 1, 4000000000000000000, 0},
    // p = 5 × (4e18 + 14) wraps modulo 2^64.
    {1, 5, Quality::Fast, 1, 4000000000000000000, 1553255926290448454ull},
    // 2^62 + 14 doubled is 2^63 + 28, negative: nothing.
    {1, 2, Quality::Fast, 1, std::uint64_t{1} << 62, 0},
    // IIR paths use the same formula: (10 + 12 + 2) × 2 × 3 channels.
    {8000, 16000, Quality::Fast, 3, 10, 144},
    // (10 + 12 + 2) / 2 × 2 channels.
    {16000, 8000, Quality::Fast, 2, 10, 24},
    // Best third band: ceil((1 + 48 + 2) / 3) = 17.
    {24000, 8000, Quality::Best, 1, 1, 17},
};

INSTANTIATE_TEST_SUITE_P(, EngineOutputCapacity, ::testing::ValuesIn(capacity_cases));

// ---------------------------------------------------------------------------
// Memory

class EngineMemory : public ::testing::TestWithParam<PathCase> {};

// A long stream in equal chunks: the rings stop growing after the first
// call and keep only the history that the next frames can still read.
TEST_P(EngineMemory, RingsStayBoundedOverALongStream) {
    const PathCase& p = GetParam();
    const std::size_t chunk = 1000;
    const std::size_t calls = 1000;
    Core<float> core = make_core<float>(make_config(p.in, p.out, 1, p.quality, BackendRequest::Auto));
    const std::int64_t taps = static_cast<std::int64_t>(core.filter_bank().taps);
    const std::int64_t limit = core.iir() ? 3 : taps + 2;
    std::vector<float> input(chunk);
    for (std::size_t i = 0; i < chunk; ++i) input[i] = static_cast<float>((i * 7919) % 1000) / 1000.0f - 0.5f;

    std::uint64_t capacity = 0;
    std::uint64_t produced = 0;
    for (std::size_t c = 0; c < calls; ++c) {
        Result<ProcessOutput<float>> r = core.process(input);
        ASSERT_TRUE(r.ok());
        produced += r.value().stats.output_frames;
        if (c == 0) capacity = core.rings()[0].capacity();
        ASSERT_EQ(core.rings()[0].capacity(), capacity) << "call " << c;
        ASSERT_LE(core.rings()[0].len(), limit) << "call " << c;
    }
    produced += core.finish().stats.output_frames;
    EXPECT_EQ(produced, expected_total(chunk * calls, p.in, p.out));
    EXPECT_LE(capacity, 2048u);
}

const PathCase memory_cases[] = {
    {44100, 48000, Quality::Fast}, {48000, 16000, Quality::Fast},  {16000, 16000, Quality::Fast},
    {24000, 8000, Quality::Fast},  {8000, 16000, Quality::Balanced}, {16000, 8000, Quality::Balanced},
    {8000, 16000, Quality::Fast},  {16000, 8000, Quality::Fast},
};

INSTANTIATE_TEST_SUITE_P(, EngineMemory, ::testing::ValuesIn(memory_cases), path_name);

}  // namespace
}  // namespace tenvira
