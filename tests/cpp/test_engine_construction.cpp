// Engine construction: validation order, backend choice, path selection, the
// initial ring capacity and its overflow; the int16 output rounding rules.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "engine_reference.hpp"
#include "base/fault.hpp"

namespace tenvira {
namespace {

using namespace engine_test;

// ---------------------------------------------------------------------------
// Validation

struct ValidationCase {
    std::uint32_t in, out;
    std::uint64_t channels;
    BackendRequest backend;
    ResampleError::Kind kind;
    const char* message;
};

class EngineValidation : public ::testing::TestWithParam<ValidationCase> {};

template <typename S>
void expect_rejected(const ValidationCase& v) {
    const Result<Core<S>> r = Core<S>::create(make_config(v.in, v.out, v.channels, Quality::Fast, v.backend));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), v.kind);
    EXPECT_EQ(r.error().message(), v.message);
}

TEST_P(EngineValidation, Float32) { expect_rejected<float>(GetParam()); }
TEST_P(EngineValidation, Int16) { expect_rejected<std::int16_t>(GetParam()); }

const ValidationCase validation_cases[] = {
    // Rates first, input before output, whatever else is wrong.
    {0, 0, 0, BackendRequest::Neon, ResampleError::Kind::InvalidSampleRate, "sample rates must be greater than zero"},
    {0, 16000, 0, BackendRequest::Neon, ResampleError::Kind::InvalidSampleRate,
     "sample rates must be greater than zero"},
    {16000, 0, 0, BackendRequest::Rvv, ResampleError::Kind::InvalidSampleRate,
     "sample rates must be greater than zero"},
    {0, 8000, 2, BackendRequest::Scalar, ResampleError::Kind::InvalidSampleRate,
     "sample rates must be greater than zero"},
    // Then the channel count, before the backend.
    {16000, 8000, 0, BackendRequest::Neon, ResampleError::Kind::InvalidChannelCount,
     "channel count must be greater than zero"},
    {44100, 48000, 0, BackendRequest::Scalar, ResampleError::Kind::InvalidChannelCount,
     "channel count must be greater than zero"},
    // Then the backend.
    {16000, 8000, 1, BackendRequest::Neon, ResampleError::Kind::BackendUnavailable,
     "requested backend is not available: neon"},
    {44100, 48000, 2, BackendRequest::Rvv, ResampleError::Kind::BackendUnavailable,
     "requested backend is not available: rvv"},
};

INSTANTIATE_TEST_SUITE_P(, EngineValidation, ::testing::ValuesIn(validation_cases));

TEST(EngineBackendChoice, ReportsTheSelectedBackend) {
    const bool avx2 = has_feature(CpuFeature::Avx2) && has_feature(CpuFeature::Fma);
    const bool avx512 = has_feature(CpuFeature::Avx512f);
    struct Want {
        BackendRequest request;
        bool available;
        const char* name;
    };
    const char* auto_name = avx512 ? "avx512f" : avx2 ? "avx2+fma" : "scalar";
    for (const Want& w : {Want{BackendRequest::Scalar, true, "scalar"}, Want{BackendRequest::Auto, true, auto_name},
                          Want{BackendRequest::Avx2, avx2, "avx2+fma"}, Want{BackendRequest::Avx512, avx512, "avx512f"}}) {
        Result<CoreI16> r = CoreI16::create(make_config(44100, 48000, 2, Quality::Fast, w.request));
        if (!w.available) {
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.error().kind(), ResampleError::Kind::BackendUnavailable);
            EXPECT_EQ(r.error().message(), std::string("requested backend is not available: ") + w.name);
            continue;
        }
        ASSERT_TRUE(r.ok()) << w.name;
        CoreI16 core = std::move(r).value();
        EXPECT_STREQ(backend_name(core.backend()), w.name);
        const std::vector<std::int16_t> input(40, 7);
        Result<ProcessOutput<std::int16_t>> out = core.process(input);
        ASSERT_TRUE(out.ok());
        EXPECT_STREQ(out.value().stats.backend_name(), w.name);
        EXPECT_EQ(out.value().stats.input_frames, 20u);
        EXPECT_STREQ(core.finish().stats.backend_name(), w.name);
        // A reset selects the same backend again.
        core.reset();
        EXPECT_STREQ(backend_name(core.backend()), w.name);
    }
}

// ---------------------------------------------------------------------------
// Path selection

struct PathSelection {
    std::uint32_t in, out;
    Quality quality;
    std::uint64_t channels;
    RenderPath path;
    std::optional<PolyphaseIir2x::Kind> iir;
    std::uint64_t taps;
};

std::string selection_name(const ::testing::TestParamInfo<PathSelection>& info) {
    const PathSelection& p = info.param;
    return std::to_string(p.in) + "_to_" + std::to_string(p.out) + "_" + quality_text(p.quality) + "_" +
           std::to_string(p.channels) + "ch";
}

class EnginePathSelection : public ::testing::TestWithParam<PathSelection> {};

template <typename S>
void expect_selection(const PathSelection& p) {
    const ResamplerConfig config = make_config(p.in, p.out, p.channels, p.quality);
    const Core<S> core = make_core<S>(config);
    EXPECT_EQ(core.path(), p.path);
    EXPECT_EQ(core.filter_bank().taps, p.taps);
    ASSERT_EQ(core.iir() != nullptr, p.iir.has_value());
    if (p.iir) {
        EXPECT_EQ(core.iir()->kind(), *p.iir);
        EXPECT_EQ(core.iir()->channels(), p.channels);
    }
    // The bank follows the same exact pairs as the path.
    EXPECT_EQ(core.filter_bank().half_band() != nullptr,
              p.path == RenderPath::HalfBandUp || p.path == RenderPath::HalfBandDown);
    EXPECT_EQ(core.filter_bank().third_band() != nullptr, p.path == RenderPath::ThirdBandDown);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(core.ratio()),
              std::bit_cast<std::uint64_t>(static_cast<double>(p.in) / static_cast<double>(p.out)));
    EXPECT_EQ(core.frames_in(), 0);
    EXPECT_EQ(core.frames_out(), 0);
    EXPECT_EQ(core.iir_cursor(), 0);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(core.position()), 0u);
    EXPECT_FALSE(core.finished());
    EXPECT_EQ(core.backend(), FirBackend::Scalar);
    EXPECT_EQ(core.channels(), p.channels);
    EXPECT_EQ(core.config().input_rate, p.in);
    EXPECT_EQ(core.config().output_rate, p.out);
    EXPECT_EQ(core.config().quality, p.quality);
    EXPECT_EQ(core.rings().size(), p.channels);
}

TEST_P(EnginePathSelection, Float32) { expect_selection<float>(GetParam()); }
TEST_P(EnginePathSelection, Int16) { expect_selection<std::int16_t>(GetParam()); }

using K = PolyphaseIir2x::Kind;
const PathSelection path_selections[] = {
    // 24000 -> 8000: third band at every quality.
    {24000, 8000, Quality::Fast, 1, RenderPath::ThirdBandDown, std::nullopt, 25},
    {24000, 8000, Quality::Balanced, 2, RenderPath::ThirdBandDown, std::nullopt, 49},
    {24000, 8000, Quality::Best, 3, RenderPath::ThirdBandDown, std::nullopt, 97},
    // Any other pair from 24000, and the reverse pair, is polyphase.
    {24000, 16000, Quality::Fast, 1, RenderPath::Polyphase, std::nullopt, 24},
    {24000, 12000, Quality::Balanced, 1, RenderPath::Polyphase, std::nullopt, 48},
    {8000, 24000, Quality::Best, 2, RenderPath::Polyphase, std::nullopt, 96},
    {16000, 16000, Quality::Fast, 1, RenderPath::Polyphase, std::nullopt, 24},
    {16000, 24000, Quality::Balanced, 1, RenderPath::Polyphase, std::nullopt, 48},
    // Ratios 2 and 1/2 on other rates are polyphase too.
    {32000, 16000, Quality::Fast, 1, RenderPath::Polyphase, std::nullopt, 24},
    {16000, 32000, Quality::Fast, 1, RenderPath::Polyphase, std::nullopt, 24},
    {48000, 8000, Quality::Fast, 1, RenderPath::Polyphase, std::nullopt, 24},
    // 16000 -> 8000: allpass converter only at fast, stereo form for two
    // channels.
    {16000, 8000, Quality::Fast, 1, RenderPath::HalfBandDown, K::Down, 25},
    {16000, 8000, Quality::Fast, 2, RenderPath::HalfBandDown, K::StereoDown, 25},
    {16000, 8000, Quality::Fast, 3, RenderPath::HalfBandDown, K::Down, 25},
    {16000, 8000, Quality::Balanced, 2, RenderPath::HalfBandDown, std::nullopt, 49},
    {16000, 8000, Quality::Best, 1, RenderPath::HalfBandDown, std::nullopt, 97},
    // 8000 -> 16000 likewise.
    {8000, 16000, Quality::Fast, 1, RenderPath::HalfBandUp, K::Up, 25},
    {8000, 16000, Quality::Fast, 2, RenderPath::HalfBandUp, K::StereoUp, 25},
    {8000, 16000, Quality::Fast, 3, RenderPath::HalfBandUp, K::Up, 25},
    {8000, 16000, Quality::Balanced, 2, RenderPath::HalfBandUp, std::nullopt, 49},
    {8000, 16000, Quality::Best, 3, RenderPath::HalfBandUp, std::nullopt, 97},
};

INSTANTIATE_TEST_SUITE_P(, EnginePathSelection, ::testing::ValuesIn(path_selections), selection_name);

// ---------------------------------------------------------------------------
// Initial ring capacity

struct RingCase {
    std::uint32_t in, out;
    Quality quality;
    std::optional<std::uint64_t> chunk;
    std::uint64_t capacity;
};

class EngineRingCapacity : public ::testing::TestWithParam<RingCase> {};

TEST_P(EngineRingCapacity, StartsAtTheConfiguredSize) {
    const RingCase& c = GetParam();
    for (std::uint64_t channels : {1u, 3u}) {
        const CoreF32 f32 = make_core<float>(make_config(c.in, c.out, channels, c.quality, BackendRequest::Scalar, c.chunk));
        const CoreI16 i16 =
            make_core<std::int16_t>(make_config(c.in, c.out, channels, c.quality, BackendRequest::Scalar, c.chunk));
        ASSERT_EQ(f32.rings().size(), channels);
        for (std::size_t k = 0; k < channels; ++k) {
            EXPECT_EQ(f32.rings()[k].capacity(), c.capacity) << "channel " << k;
            EXPECT_EQ(i16.rings()[k].capacity(), c.capacity) << "channel " << k;
            EXPECT_EQ(f32.rings()[k].start(), 0);
            EXPECT_EQ(f32.rings()[k].len(), 0);
        }
    }
}

const RingCase ring_cases[] = {
    {44100, 48000, Quality::Fast, std::nullopt, 96},        // 4 × 24
    {44100, 48000, Quality::Balanced, std::nullopt, 192},   // 4 × 48
    {44100, 48000, Quality::Balanced, 500, 556},            // 48 + 500 + 8
    {44100, 48000, Quality::Balanced, 0, 192},              // same as absent
    {44100, 48000, Quality::Balanced, 136, 192},            // 48 + 136 + 8 = 4 × 48
    {44100, 48000, Quality::Balanced, 137, 193},            // not a power of two
    {44100, 48000, Quality::Best, std::nullopt, 384},
    {44100, 48000, Quality::Best, 300, 404},
    {16000, 8000, Quality::Fast, std::nullopt, 100},        // 4 × 25, allpass path
    {8000, 16000, Quality::Balanced, std::nullopt, 196},    // 4 × 49
    {24000, 8000, Quality::Best, std::nullopt, 388},        // 4 × 97
    {24000, 8000, Quality::Best, 1000, 1105},               // 97 + 1000 + 8
};

INSTANTIATE_TEST_SUITE_P(, EngineRingCapacity, ::testing::ValuesIn(ring_cases));

// A chunk size whose ring byte size passes the signed 64-bit range is the
// fault "capacity overflow"; one that is representable but cannot be
// allocated is std::bad_alloc. Neither leaves an engine behind.
template <typename S>
void expect_capacity_fault(std::uint64_t chunk, std::uint64_t channels, std::uint32_t in, std::uint32_t out) {
    try {
        (void)Core<S>::create(make_config(in, out, channels, Quality::Balanced, BackendRequest::Scalar, chunk));
        ADD_FAILURE() << "construction succeeded with chunk size " << chunk;
    } catch (const InternalFault& f) {
        EXPECT_STREQ(f.what(), "capacity overflow");
    }
}

template <typename S>
void expect_bad_alloc(std::uint64_t chunk, std::uint64_t channels, std::uint32_t in, std::uint32_t out) {
    EXPECT_THROW((void)Core<S>::create(make_config(in, out, channels, Quality::Balanced, BackendRequest::Scalar, chunk)),
                 std::bad_alloc)
        << "chunk size " << chunk;
}

constexpr std::uint64_t huge_chunks[] = {std::uint64_t{1} << 62, (std::uint64_t{1} << 63) + 5,
                                         std::numeric_limits<std::uint64_t>::max() - 10,
                                         std::numeric_limits<std::uint64_t>::max()};

TEST(EngineRingOverflow, HugeChunkSizeIsCapacityOverflow) {
    for (std::uint64_t chunk : huge_chunks) {
        for (std::uint64_t channels : {1u, 2u}) {
            expect_capacity_fault<float>(chunk, channels, 44100, 48000);
            expect_capacity_fault<std::int16_t>(chunk, channels, 44100, 48000);
            expect_capacity_fault<float>(chunk, channels, 16000, 8000);
            expect_capacity_fault<std::int16_t>(chunk, channels, 24000, 8000);
        }
    }
    // 2^61 float32 samples are 2^63 bytes and more: beyond the signed range.
    expect_capacity_fault<float>(std::uint64_t{1} << 61, 1, 44100, 48000);
}

TEST(EngineRingOverflow, UnallocatableChunkSizeIsBadAlloc) {
    for (std::uint64_t channels : {1u, 2u}) {
        expect_bad_alloc<float>(std::uint64_t{1} << 40, channels, 44100, 48000);
        expect_bad_alloc<std::int16_t>(std::uint64_t{1} << 40, channels, 44100, 48000);
        expect_bad_alloc<float>(std::uint64_t{1} << 40, channels, 8000, 16000);
    }
    // 2^61 int16 samples are 2^62 bytes: representable, not allocatable.
    expect_bad_alloc<std::int16_t>(std::uint64_t{1} << 61, 1, 44100, 48000);
    // The failed constructions left nothing behind that breaks the next one.
    EXPECT_EQ(make_core<float>(make_config(44100, 48000, 1, Quality::Balanced)).rings()[0].capacity(), 192u);
}

// ---------------------------------------------------------------------------
// int16 output rounding

struct Q15Case {
    std::int64_t acc;
    std::int16_t out;
};

class EngineQ15Rounding : public ::testing::TestWithParam<Q15Case> {};

TEST_P(EngineQ15Rounding, RoundsHalfUpAndSaturates) { EXPECT_EQ(q15_out(GetParam().acc), GetParam().out); }

constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();

const Q15Case q15_cases[] = {
    {0, 0},
    {16383, 0},
    {16384, 1},
    {-16384, 0},
    {-16385, -1},
    {32768, 1},
    {49151, 1},
    {49152, 2},
    {-49152, -1},
    {-49153, -2},
    {32767LL * 32768 - 16385, 32766},
    {32767LL * 32768 - 16384, 32767},
    {32767LL * 32768 + 16383, 32767},
    {32767LL * 32768 + 16384, 32767},
    {1LL << 40, 32767},
    {-32768LL * 32768 - 16384, -32768},
    {-32767LL * 32768 - 16384, -32767},
    {-32767LL * 32768 - 16385, -32768},
    {-32768LL * 32768 - 16385, -32768},
    {-(1LL << 40), -32768},
    // The full accumulator range saturates too, without wrapping.
    {i64_max, 32767},
    {i64_max - 16383, 32767},
    {i64_min, -32768},
    {i64_min + 1, -32768},
};

INSTANTIATE_TEST_SUITE_P(, EngineQ15Rounding, ::testing::ValuesIn(q15_cases));

struct IirOutCase {
    float y;
    std::int16_t out;
};

class EngineIirRounding : public ::testing::TestWithParam<IirOutCase> {};

TEST_P(EngineIirRounding, RoundsHalfAwayFromZeroAndSaturates) {
    EXPECT_EQ(iir_to_i16(GetParam().y), GetParam().out) << GetParam().y;
}

const IirOutCase iir_cases[] = {
    {0.0f, 0},
    {-0.0f, 0},
    {0.49999997f, 0},
    {0.5f, 1},
    {-0.5f, -1},
    {-0.49999997f, 0},
    {1.5f, 2},
    {2.5f, 3},
    {-2.5f, -3},
    {16383.5f, 16384},
    {32766.5f, 32767},
    {32767.0f, 32767},
    {32767.49f, 32767},
    {32767.5f, 32767},
    {32768.0f, 32767},
    {1e9f, 32767},
    {std::numeric_limits<float>::infinity(), 32767},
    {-32767.5f, -32768},
    {-32768.0f, -32768},
    {-32768.49f, -32768},
    {-32768.5f, -32768},
    {-32769.0f, -32768},
    {-1e30f, -32768},
    {-std::numeric_limits<float>::infinity(), -32768},
};

INSTANTIATE_TEST_SUITE_P(, EngineIirRounding, ::testing::ValuesIn(iir_cases));

// The allpass paths of the int16 engine: samples in by value, out rounded
// and clamped; a full-scale negative constant settles at -32768 and any
// overshoot saturates.
TEST(EngineIirInt16, FullScaleConstantSaturates) {
    for (auto [in, out] : {std::pair{8000u, 16000u}, std::pair{16000u, 8000u}}) {
        for (std::uint64_t channels : {1u, 2u, 3u}) {
            CoreI16 core = make_core<std::int16_t>(make_config(in, out, channels, Quality::Fast));
            const std::vector<std::int16_t> input(2000 * channels, -32768);
            Result<ProcessOutput<std::int16_t>> r = core.process(input);
            ASSERT_TRUE(r.ok());
            const std::vector<std::int16_t>& y = r.value().samples;
            ASSERT_FALSE(y.empty());
            for (std::size_t i = y.size() - 20 * channels; i < y.size(); ++i) EXPECT_EQ(y[i], -32768) << i;
        }
    }
}

TEST(EngineIirInt16, ImpulseFollowsTheFloatRecurrence) {
    // 32767 then zeros through the 1:2 converter: roundf of 32767 times the
    // float impulse response of the two branches.
    CoreI16 core = make_core<std::int16_t>(make_config(8000, 16000, 1, Quality::Fast));
    std::vector<std::int16_t> input(64, 0);
    input[0] = 32767;
    Result<ProcessOutput<std::int16_t>> r = core.process(input);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.value().samples.size(), 128u);
    Iir2xFilter f;
    for (std::size_t n = 0; n < 64; ++n) {
        const float x = n == 0 ? 32767.0f : 0.0f;
        const std::array<float, 2> ab = f.process_pair(x, x);
        EXPECT_EQ(r.value().samples[2 * n], static_cast<std::int16_t>(std::roundf(ab[0]))) << n;
        EXPECT_EQ(r.value().samples[2 * n + 1], static_cast<std::int16_t>(std::roundf(ab[1]))) << n;
    }
}

}  // namespace
}  // namespace tenvira
