// The appending forms process_append / finish_append against process /
// finish, and pending_output_frames against what finish renders.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <limits>
#include <string>
#include <vector>

#include "engine_reference.hpp"

namespace tenvira {
namespace {

using namespace engine_test;

struct IntoCase {
    std::uint32_t in;
    std::uint32_t out;
    Quality quality;
    std::uint64_t channels;
};

class EngineInto : public ::testing::TestWithParam<IntoCase> {};

template <typename S>
void check_into(const IntoCase& c) {
    const ResamplerConfig config = make_config(c.in, c.out, c.channels, c.quality, BackendRequest::Auto);
    Core<S> plain = Core<S>::create(config).value();
    Core<S> appending = Core<S>::create(config).value();
    const std::vector<S> input = test_signal<S>(1500, c.channels, 5);
    // Output already in the vector stays in front of what a call appends.
    const std::vector<S> earlier(3 * c.channels, static_cast<S>(99));
    std::size_t at = 0;
    for (std::size_t frames : irregular_chunks(1500, 8)) {
        const std::span<const S> chunk(input.data() + at * c.channels, frames * c.channels);
        at += frames;
        const auto expected = plain.process(chunk).value();
        std::vector<S> out = earlier;
        const ProcessStats stats = appending.process_append(chunk, out).value();
        ASSERT_EQ(stats.output_frames, expected.stats.output_frames);
        ASSERT_EQ(stats.input_frames, expected.stats.input_frames);
        ASSERT_EQ(stats.output_frames, expected.samples.size() / c.channels);
        ASSERT_LE(expected.samples.size(), appending.required_output_capacity(frames));
        ASSERT_TRUE(std::equal(earlier.begin(), earlier.end(), out.begin()));
        ASSERT_TRUE(std::equal(expected.samples.begin(), expected.samples.end(), out.begin() + earlier.size()));
    }
    const std::uint64_t pending = appending.pending_output_frames();
    ASSERT_EQ(pending, plain.pending_output_frames());
    const auto expected = plain.finish();
    EXPECT_EQ(pending, expected.stats.output_frames);
    std::vector<S> out;
    const ProcessStats stats = appending.finish_append(out);
    EXPECT_EQ(stats.output_frames, pending);
    EXPECT_EQ(out, expected.samples);
    EXPECT_EQ(appending.pending_output_frames(), 0u);

    // Misaligned input is refused and changes nothing.
    Core<S> fresh = Core<S>::create(config).value();
    if (c.channels > 1) {
        std::vector<S> none;
        EXPECT_FALSE(fresh.process_append(std::span<const S>(input.data(), c.channels + 1), none).ok());
        EXPECT_EQ(fresh.frames_in(), 0);
        EXPECT_TRUE(none.empty());
    }
}

TEST_P(EngineInto, AppendsWhatTheAllocatingFormsReturn) {
    check_into<float>(GetParam());
    check_into<std::int16_t>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Paths, EngineInto,
                         ::testing::Values(IntoCase{48000, 16000, Quality::Balanced, 1},
                                           IntoCase{44100, 48000, Quality::Fast, 2},
                                           IntoCase{16000, 24000, Quality::Best, 3},
                                           IntoCase{8000, 16000, Quality::Balanced, 2},
                                           IntoCase{16000, 8000, Quality::Best, 1},
                                           IntoCase{24000, 8000, Quality::Fast, 2},
                                           IntoCase{8000, 16000, Quality::Fast, 3},
                                           IntoCase{16000, 8000, Quality::Fast, 2},
                                           IntoCase{1, 7, Quality::Fast, 1},
                                           IntoCase{96000, 1000, Quality::Balanced, 1}));

}  // namespace
}  // namespace tenvira

namespace tenvira {
namespace {

// The read position advances by repeated float64 addition of the ratio; the
// engine plans runs of positions in bulk, which must land on exactly the
// values of that chain, across binades and for any ratio.
TEST(EnginePosition, EqualsTheChainOfAdditions) {
    std::mt19937 rng(17);
    std::uniform_int_distribution<std::uint32_t> rate(1, 384000);
    for (int trial = 0; trial < 60; ++trial) {
        const std::uint32_t in = rate(rng);
        const std::uint32_t out = trial % 3 == 0 ? in + 1 + rng() % 1000 : rate(rng);
        for (BackendRequest b : {BackendRequest::Scalar, BackendRequest::Auto}) {
            Core<float> core = Core<float>::create(make_config(in, out, 1, Quality::Fast, b)).value();
            const std::size_t frames = std::min<std::uint64_t>(20000, 200000ull * in / out + 30);
            const std::vector<float> input(frames, 0.0f);
            std::size_t at = 0;
            while (at < frames) {
                const std::size_t n = std::min<std::size_t>(frames - at, 1 + rng() % 3000);
                ASSERT_TRUE(core.process(std::span<const float>(input.data() + at, n)).ok());
                at += n;
            }
            double chain = 0.0;
            for (std::int64_t i = 0; i < core.frames_out(); ++i) chain = core.ratio() + chain;
            ASSERT_EQ(std::bit_cast<std::uint64_t>(core.position()), std::bit_cast<std::uint64_t>(chain))
                << in << " -> " << out << " after " << core.frames_out() << " frames";
        }
    }
}

}  // namespace
}  // namespace tenvira
