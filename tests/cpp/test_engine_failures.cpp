// Calls that fail on an allocation change nothing. With the n-th allocation
// of a call failing, for every n, the call either succeeds or throws
// std::bad_alloc and leaves the stream and the output array as they were,
// so that repeating it gives what an undisturbed stream gives.
//
// Allocations fail through a replacement of operator new in this test
// program and through the allocation gate of the engine's large arrays.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "base/memory.hpp"
#include "engine_reference.hpp"

namespace {

// Allocations allowed before one fails; negative: none fails.
std::atomic<long> allocations_left{-1};

bool allow_one() noexcept {
    long left = allocations_left.load();
    while (left >= 0) {
        if (left == 0) {
            allocations_left.store(-1);  // one failure per arming
            return false;
        }
        if (allocations_left.compare_exchange_weak(left, left - 1)) return true;
    }
    return true;
}

}  // namespace

// The replacements below allocate with malloc, so free is their match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    if (!allow_one()) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

bool tenvira::allocation_gate(std::uint64_t) noexcept { return allow_one(); }

namespace tenvira {
namespace {

using namespace engine_test;

struct FailureCase {
    std::uint32_t in;
    std::uint32_t out;
    Quality quality;
    std::uint64_t channels;
};

class EngineFailures : public ::testing::TestWithParam<FailureCase> {};

// Streams `input` through `core` in calls of `chunk` frames, then finishes;
// every call is first tried with its n-th allocation failing (n = 0, 1, ...
// until one succeeds), and repeated after each failure. Only the engine call
// runs with allocations failing.
template <typename S>
std::vector<S> stream_with_failures(Core<S>& core, const std::vector<S>& input, std::size_t chunk, bool into,
                                    std::size_t& failures) {
    const std::uint64_t channels = core.channels();
    std::vector<S> all;
    std::vector<S> room;
    // `call` makes the engine call and returns the frames it wrote to room
    // (into) or appended to all.
    const auto attempt = [&](std::size_t room_samples, auto call) {
        for (long n = 0;; ++n) {
            const std::vector<S> before = all;
            room.assign(room_samples, S{});
            std::uint64_t frames = 0;
            allocations_left.store(n);
            bool failed = false;
            try {
                frames = call();
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            allocations_left.store(-1);
            if (!failed) {
                if (into) all.insert(all.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(frames * channels));
                return;
            }
            ++failures;
            ASSERT_EQ(all, before) << "a failed call changed the output";
        }
    };
    for (std::size_t at = 0; at < input.size(); at += chunk * channels) {
        const std::span<const S> piece(input.data() + at, std::min(chunk * channels, input.size() - at));
        const std::uint64_t frames = piece.size() / channels;
        attempt(into ? core.required_output_capacity(frames) : 0, [&] {
            return into ? core.process_into(piece, room).value().output_frames
                        : core.process_append(piece, all).value().output_frames;
        });
    }
    attempt(into ? core.pending_output_frames() * channels : 0, [&] {
        return into ? core.finish_into(room).output_frames : core.finish_append(all).output_frames;
    });
    return all;
}

template <typename S>
void check_failures(const FailureCase& c) {
    const ResamplerConfig config = make_config(c.in, c.out, c.channels, c.quality, BackendRequest::Auto);
    const std::vector<S> input = test_signal<S>(3000, c.channels, 11);
    Core<S> twin = Core<S>::create(config).value();
    std::vector<S> expected;
    for (std::size_t at = 0; at < input.size(); at += 700 * c.channels) {
        const std::span<const S> piece(input.data() + at, std::min(700 * c.channels, input.size() - at));
        twin.process_append(piece, expected).value();
    }
    twin.finish_append(expected);
    for (bool into : {false, true}) {
        Core<S> core = Core<S>::create(config).value();
        std::size_t failures = 0;
        const std::vector<S> got = stream_with_failures(core, input, 700, into, failures);
        EXPECT_GT(failures, 0u) << "no allocation was made to fail";
        EXPECT_EQ(got, expected) << (into ? "into" : "append");
    }
}

TEST_P(EngineFailures, Float32) { check_failures<float>(GetParam()); }
TEST_P(EngineFailures, Int16) { check_failures<std::int16_t>(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Paths, EngineFailures,
    ::testing::Values(FailureCase{44100, 48000, Quality::Balanced, 2}, FailureCase{48000, 16000, Quality::Fast, 1},
                      FailureCase{16000, 8000, Quality::Best, 2}, FailureCase{8000, 16000, Quality::Balanced, 3},
                      FailureCase{24000, 8000, Quality::Fast, 1}, FailureCase{8000, 16000, Quality::Fast, 3},
                      FailureCase{16000, 8000, Quality::Fast, 2}, FailureCase{48000, 16000, Quality::Hq, 2},
                      FailureCase{44100, 48000, Quality::Vhq, 1}, FailureCase{16000, 8000, Quality::Vhq, 2}),
    [](const auto& info) {
        return std::to_string(info.param.in) + "_to_" + std::to_string(info.param.out) + "_" +
               std::to_string(static_cast<int>(info.param.quality)) + "_" + std::to_string(info.param.channels) + "ch";
    });

}  // namespace
}  // namespace tenvira
