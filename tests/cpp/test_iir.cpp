// The two-path allpass 2x converter against a plain scalar recurrence.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "iir/polyphase_iir2x.hpp"
#include "base/fault.hpp"

namespace tenvira {
namespace {

// Three chained first-order allpass sections y[n] = c (x[n] - y[n-1]) + x[n-1],
// each section keeping its own previous input and output.
struct Branch {
    float c[3], x1[3] = {}, y1[3] = {};
    float step(float x) {
        for (int k = 0; k < 3; ++k) {
            float t = x - y1[k];
            t = c[k] * t;
            const float y = t + x1[k];
            x1[k] = x;
            x = y1[k] = y;
        }
        return x;
    }
};
Branch branch_a() { return {{0.0869289115f, 0.524893939f, 0.850801349f}}; }
Branch branch_b() { return {{0.29505825f, 0.713733673f, 0.95333451f}}; }

// Deterministic noise in [-1, 1), or a unit impulse at `at`.
std::vector<float> noise(std::size_t n, std::uint32_t seed) {
    std::vector<float> v(n);
    for (float& x : v) x = float((seed = seed * 1664525u + 1013904223u) >> 8) / 8388608.0f - 1.0f;
    return v;
}
std::vector<float> impulse(std::size_t n, std::size_t at) {
    std::vector<float> v(n, 0.0f);
    v[at] = 1.0f;
    return v;
}

std::vector<float> upsample_all(PolyphaseIir2x& iir, std::span<const float> in) {
    const std::size_t ch = iir.channels();
    std::vector<float> out;
    for (std::size_t i = 0; i < in.size(); i += ch) iir.upsample_frame(in.subspan(i, ch), out);
    return out;
}

// Pairs of frames; an odd frame count leaves the last frame without a partner.
std::vector<float> downsample_all(PolyphaseIir2x& iir, std::span<const float> in) {
    const std::size_t ch = iir.channels();
    std::vector<float> out;
    for (std::size_t i = 0; i < in.size(); i += 2 * ch) {
        const auto odd = i + ch < in.size() ? std::optional(in.subspan(i + ch, ch)) : std::nullopt;
        iir.downsample_pair(in.subspan(i, ch), odd, out);
    }
    return out;
}

TEST(Iir2x, SilenceGivesExactSilence) {
    for (const std::uint64_t ch : {1u, 2u, 3u}) {
        const std::vector<float> zeros(64 * ch, 0.0f);
        auto up = PolyphaseIir2x::up(ch);
        auto down = PolyphaseIir2x::down(ch);
        for (const float y : upsample_all(up, zeros)) ASSERT_EQ(std::bit_cast<std::uint32_t>(y), 0u);
        for (const float y : downsample_all(down, zeros)) ASSERT_EQ(std::bit_cast<std::uint32_t>(y), 0u);
    }
}

// Every input sample feeds both chains; branch A's output comes first.
TEST(Iir2x, UpsampleMatchesTheRecurrenceBitForBit) {
    for (const auto& in : {impulse(200, 0), noise(200, 7)}) {
        auto iir = PolyphaseIir2x::up(1);
        const std::vector<float> out = upsample_all(iir, in);
        ASSERT_EQ(out.size(), 2 * in.size());
        Branch a = branch_a(), b = branch_b();
        for (std::size_t n = 0; n < in.size(); ++n) {
            ASSERT_EQ(out[2 * n], a.step(in[n])) << n;
            ASSERT_EQ(out[2 * n + 1], b.step(in[n])) << n;
        }
    }
}

// The even sample of a pair goes through branch B, the odd one through branch A.
TEST(Iir2x, DownsampleMatchesTheRecurrenceBitForBit) {
    for (const auto& in : {impulse(400, 0), impulse(400, 1), noise(400, 11)}) {
        auto iir = PolyphaseIir2x::down(1);
        const std::vector<float> out = downsample_all(iir, in);
        ASSERT_EQ(out.size(), in.size() / 2);
        Branch a = branch_a(), b = branch_b();
        for (std::size_t n = 0; n < out.size(); ++n) {
            ASSERT_EQ(out[n], (b.step(in[2 * n]) + a.step(in[2 * n + 1])) * 0.5f) << n;
        }
    }
    auto even = PolyphaseIir2x::down(1), odd = PolyphaseIir2x::down(1);
    EXPECT_NE(downsample_all(even, impulse(400, 0)), downsample_all(odd, impulse(400, 1)));
}

// Amplitude of a settled tone, from the mean square over whole periods.
double amplitude_after_decimation(double freq) {
    std::vector<float> in(16000);
    for (std::size_t n = 0; n < in.size(); ++n) in[n] = float(std::sin(2.0 * std::numbers::pi * freq * n / 16000.0));
    auto iir = PolyphaseIir2x::down(1);
    const std::vector<float> out = downsample_all(iir, in);
    double power = 0.0;
    for (std::size_t n = out.size() / 2; n < out.size(); ++n) power += double(out[n]) * out[n];
    return std::sqrt(4.0 * power / double(out.size()));
}

TEST(Iir2x, DecimatorPassesOneKilohertzAndRejectsSeven) {
    EXPECT_NEAR(amplitude_after_decimation(1000.0), 1.0, 1e-4);
    EXPECT_NEAR(amplitude_after_decimation(7000.0), 5e-4, 2e-4);
}

// Two channels run in the stereo form, three in the per-channel form; either
// way each channel matches a one-channel converter fed that channel alone.
TEST(Iir2x, EachChannelMatchesAOneChannelConverter) {
    for (const std::uint64_t ch : {2u, 3u}) {
        SCOPED_TRACE(testing::Message() << ch << " channels");
        const std::vector<float> in = noise(301 * ch, 3);
        auto up = PolyphaseIir2x::up(ch);
        auto down = PolyphaseIir2x::down(ch);
        EXPECT_EQ(up.kind(), ch == 2 ? PolyphaseIir2x::Kind::StereoUp : PolyphaseIir2x::Kind::Up);
        EXPECT_EQ(down.kind(), ch == 2 ? PolyphaseIir2x::Kind::StereoDown : PolyphaseIir2x::Kind::Down);
        const std::vector<float> up_out = upsample_all(up, in), down_out = downsample_all(down, in);
        for (std::size_t c = 0; c < ch; ++c) {
            std::vector<float> mono;
            for (std::size_t i = c; i < in.size(); i += ch) mono.push_back(in[i]);
            auto up1 = PolyphaseIir2x::up(1), down1 = PolyphaseIir2x::down(1);
            const std::vector<float> up_mono = upsample_all(up1, mono), down_mono = downsample_all(down1, mono);
            for (std::size_t n = 0; n < up_mono.size(); ++n) ASSERT_EQ(up_out[n * ch + c], up_mono[n]) << n;
            for (std::size_t n = 0; n < down_mono.size(); ++n) ASSERT_EQ(down_out[n * ch + c], down_mono[n]) << n;
        }
    }
}

TEST(Iir2x, MissingOddFrameCountsAsZero) {
    for (const std::uint64_t ch : {1u, 2u, 3u}) {
        const std::vector<float> history = noise(8 * ch, 5), last = noise(ch, 9), zeros(ch, 0.0f);
        auto missing = PolyphaseIir2x::down(ch), zero = PolyphaseIir2x::down(ch);
        downsample_all(missing, history);
        downsample_all(zero, history);
        std::vector<float> a(ch), b(ch);
        missing.downsample_pair(last.data(), nullptr, a.data());
        zero.downsample_pair(last.data(), zeros.data(), b.data());
        EXPECT_EQ(a, b) << ch << " channels";
    }
}

template <typename Call>
void expect_unreachable(Call call, const std::string& reason) {
    try {
        call();
        ADD_FAILURE() << "no fault for: " << reason;
    } catch (const InternalFault& f) {
        EXPECT_EQ(f.message(), "internal error: entered unreachable code: " + reason);
    }
}

TEST(Iir2x, WrongOperationIsAnInternalFault) {
    const float frame[3] = {};
    float out[6];
    for (const std::uint64_t ch : {1u, 2u, 3u}) {
        auto up = PolyphaseIir2x::up(ch), down = PolyphaseIir2x::down(ch);
        const std::string up_only = "downsampling IIR cannot process upsampling samples";
        expect_unreachable([&] { up.downsample_pair(frame, frame, out); }, "upsampling IIR cannot process downsampling pairs");
        expect_unreachable([&] { down.upsample_frame(frame, out); }, up_only);
        expect_unreachable([&] { down.upsample_channel(0, 1.0f); }, up_only);
    }
    auto stereo = PolyphaseIir2x::up(2);
    expect_unreachable([&] { stereo.upsample_channel(0, 1.0f); }, "stereo IIR must process both channels together");
}

}  // namespace
}  // namespace tenvira
