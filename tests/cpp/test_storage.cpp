// The ring buffer against a plain model (a map from absolute index to sample),
// and the aligned buffer's allocation rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <new>
#include <random>

#include "aligned/aligned_buffer.hpp"
#include "ring/ring_buffer.hpp"

namespace tenvira {
namespace {

TEST(RingBuffer, FreshRingReadsZeroEverywhere) {
    RingBuffer<float> ring(96);
    EXPECT_EQ(ring.capacity(), 96u);
    for (std::int64_t a : {-5, 0, 95, 96, 1000}) EXPECT_EQ(ring.get(a), 0.0f) << a;
}

TEST(RingBuffer, PushThenReadByAbsoluteIndex) {
    RingBuffer<std::int16_t> ring(96);
    for (int i = 0; i < 10; ++i) ring.push(static_cast<std::int16_t>(i + 1));
    EXPECT_EQ(ring.get(9), 10);
    EXPECT_EQ(ring.get(10), 0);
    EXPECT_EQ(ring.get(-1), 0);
}

TEST(RingBuffer, GrowthKeepsAbsoluteIndices) {
    RingBuffer<float> ring(96);
    // Move the ring to start 500, len 30: slot 500 mod 96 = 20.
    for (int i = 0; i < 530; ++i) {
        ring.push(static_cast<float>(i));
        if (ring.len() == 90) ring.discard_before(ring.start() + 60);
    }
    ring.discard_before(500);
    ASSERT_EQ(ring.start(), 500);
    ASSERT_EQ(ring.len(), 30);
    EXPECT_EQ(ring.slot(500), 20u);

    ring.ensure_capacity(100, 24);  // need = 30 + 24 + 100 + 8 = 162
    EXPECT_EQ(ring.capacity(), 256u);
    EXPECT_EQ(ring.slot(500), 244u);
    for (std::int64_t a = 500; a < 530; ++a) EXPECT_EQ(ring.get(a), static_cast<float>(a));
    EXPECT_EQ(ring.get(499), 0.0f);
    EXPECT_EQ(ring.get(530), 0.0f);
}

TEST(RingBuffer, NoGrowthWhenTheDemandFits) {
    RingBuffer<float> ring(96);
    for (int i = 0; i < 10; ++i) ring.push(1.0f);
    ring.ensure_capacity(10, 24);  // need = max(52, 96) = 96
    EXPECT_EQ(ring.capacity(), 96u);
    ring.ensure_capacity(55, 24);  // need = 97
    EXPECT_EQ(ring.capacity(), 128u);
}

TEST(RingBuffer, DiscardRules) {
    RingBuffer<float> ring(16);
    for (int i = 0; i < 10; ++i) ring.push(static_cast<float>(i));
    ring.discard_before(-3);  // below start: nothing
    EXPECT_EQ(ring.start(), 0);
    EXPECT_EQ(ring.len(), 10);
    ring.discard_before(4);
    EXPECT_EQ(ring.start(), 4);
    EXPECT_EQ(ring.len(), 6);
    EXPECT_EQ(ring.get(3), 0.0f);
    EXPECT_EQ(ring.get(4), 4.0f);
    ring.discard_before(1000);  // beyond the end: empty, position kept
    EXPECT_EQ(ring.start(), 10);
    EXPECT_EQ(ring.len(), 0);
    ring.push(42.0f);
    EXPECT_EQ(ring.get(10), 42.0f);
}

TEST(RingBuffer, FullRingOverwritesTheOldest) {
    RingBuffer<float> ring(4);
    for (int i = 0; i < 6; ++i) ring.push(static_cast<float>(i));
    EXPECT_EQ(ring.start(), 2);
    EXPECT_EQ(ring.len(), 4);
    EXPECT_EQ(ring.get(1), 0.0f);
    for (int a = 2; a < 6; ++a) EXPECT_EQ(ring.get(a), static_cast<float>(a));
}

TEST(RingBuffer, RandomStreamingAgainstModel) {
    std::mt19937 rng(42);
    RingBuffer<std::int16_t> ring(100);  // not a power of two until it grows
    std::map<std::int64_t, std::int16_t> model;
    std::int64_t next = 0;
    std::uniform_int_distribution<int> chunk(0, 300), value(-32768, 32767), back(0, 40);
    std::uint64_t last_capacity = ring.capacity();
    for (int step = 0; step < 400; ++step) {
        const int frames = chunk(rng);
        ring.ensure_capacity(static_cast<std::uint64_t>(frames), 24);
        EXPECT_GE(ring.capacity(), last_capacity);
        last_capacity = ring.capacity();
        for (int f = 0; f < frames; ++f) {
            const auto x = static_cast<std::int16_t>(value(rng));
            ring.push(x);
            model[next++] = x;
        }
        const std::int64_t k = next - 24 - back(rng);
        ring.discard_before(k);
        for (auto it = model.begin(); it != model.end() && it->first < k;) it = model.erase(it);
        for (std::int64_t a = next - 80; a < next + 3; ++a) {
            const auto found = model.find(a);
            ASSERT_EQ(ring.get(a), found == model.end() ? 0 : found->second) << "a=" << a << " step=" << step;
        }
    }
    // Chunks of at most 300 frames never need more than 512 slots.
    EXPECT_LE(ring.capacity(), 512u);
}

TEST(RingBuffer, HugeCapacityIsAFaultOrMemoryError) {
    EXPECT_THROW(RingBuffer<float>(std::uint64_t{1} << 62), InternalFault);
    try {
        RingBuffer<float> r(std::uint64_t{1} << 62);
    } catch (const InternalFault& f) {
        EXPECT_STREQ(f.what(), "capacity overflow");
    }
    EXPECT_THROW(RingBuffer<float>(std::uint64_t{1} << 40), std::bad_alloc);

    RingBuffer<float> ring(96);
    EXPECT_THROW(ring.ensure_capacity(std::numeric_limits<std::uint64_t>::max() - 100, 24), InternalFault);
    EXPECT_THROW(ring.ensure_capacity(std::uint64_t{1} << 40, 24), std::bad_alloc);
    // A failed growth leaves the ring as it was.
    EXPECT_EQ(ring.capacity(), 96u);
}

TEST(AlignedBuffer, EmptyBufferOwnsOneAlignedByte) {
    AlignedBuffer<float> empty;
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_EQ(empty.byte_size(), 1u);
    ASSERT_NE(empty.data(), nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(empty.data()) % 64, 0u);
}

TEST(AlignedBuffer, CopiesValuesAndMoves) {
    const std::int16_t values[] = {1, -2, 3, 32767, -32768};
    AlignedBuffer<std::int16_t> b{std::span<const std::int16_t>(values)};
    EXPECT_EQ(b.size(), 5u);
    EXPECT_EQ(b.byte_size(), 10u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % 64, 0u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(b[i], values[i]);
    AlignedBuffer<std::int16_t> moved(std::move(b));
    EXPECT_EQ(moved.size(), 5u);
    EXPECT_EQ(moved[3], 32767);
}

}  // namespace
}  // namespace tenvira
