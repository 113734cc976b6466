// Per-channel input history addressed by absolute frame index.
//
// Frame a of the stream lives in slot a mod capacity while it is retained.
// Reading an index that is not retained yields silence, which makes the stream
// read as zeros before its first frame, after its newest frame and during the
// end-of-stream drain. Capacity only grows, to powers of two; the engine's
// initial capacity in general is not one, so slots are found by a true
// remainder until the first growth and by a mask afterwards.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>

#include "base/arith.hpp"
#include "base/memory.hpp"
#include "base/fault.hpp"

namespace tenvira {

template <typename S>
class RingBuffer {
public:
    // A ring of `capacity` zero samples with nothing retained (start 0, len 0).
    explicit RingBuffer(std::uint64_t capacity) {
        if (capacity == 0) fault("ring buffer capacity must be at least 1");
        storage_ = static_cast<S*>(checked_calloc(capacity, sizeof(S)));
        set_capacity(capacity);
    }

    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    RingBuffer(RingBuffer&& other) noexcept
        : storage_(std::exchange(other.storage_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          mask_(other.mask_),
          start_(other.start_),
          len_(other.len_) {}

    RingBuffer& operator=(RingBuffer&& other) noexcept {
        if (this != &other) {
            std::free(storage_);
            storage_ = std::exchange(other.storage_, nullptr);
            capacity_ = std::exchange(other.capacity_, 0);
            mask_ = other.mask_;
            start_ = other.start_;
            len_ = other.len_;
        }
        return *this;
    }

    ~RingBuffer() { std::free(storage_); }

    std::uint64_t capacity() const noexcept { return capacity_; }
    std::int64_t start() const noexcept { return start_; }
    std::int64_t len() const noexcept { return len_; }
    // One past the newest retained index.
    std::int64_t end() const noexcept { return start_ + len_; }

    std::uint64_t slot(std::int64_t a) const noexcept {
        const auto u = static_cast<std::uint64_t>(a);
        return mask_ != 0 ? (u & mask_) : (u % capacity_);
    }

    S get(std::int64_t a) const noexcept {
        if (start_ <= a && a < start_ + len_) return storage_[slot(a)];
        return S{};
    }

    void push(S x) noexcept {
        if (static_cast<std::uint64_t>(len_) < capacity_) {
            storage_[slot(start_ + len_)] = x;
            len_ += 1;
        } else {
            storage_[slot(start_)] = x;
            start_ += 1;
        }
    }

    // push() of src[0], src[stride], ... src[(count - 1) * stride], in order,
    // into a ring with room for them (after ensure_capacity).
    void append(const S* src, std::uint64_t count, std::uint64_t stride) noexcept {
        if (count > capacity_ - static_cast<std::uint64_t>(len_)) {
            for (std::uint64_t i = 0; i < count; ++i) push(src[i * stride]);
            return;
        }
        std::uint64_t at = slot(start_ + len_);
        std::uint64_t i = 0;
        while (i < count) {
            // Up to the end of the storage, then on from slot 0.
            const std::uint64_t run = std::min(count - i, capacity_ - at);
            S* dst = storage_ + at;
            if (stride == 1) {
                std::copy(src + i, src + i + run, dst);
            } else {
                const S* from = src + i * stride;
                for (std::uint64_t r = 0; r < run; ++r) dst[r] = from[r * stride];
            }
            i += run;
            at = 0;
        }
        len_ += static_cast<std::int64_t>(count);
    }

    // The capacity a ring needs to hold `held` frames, a filter of `taps`
    // taps and a chunk of `frames` more: room for all of them plus 8, and at
    // least four filter lengths. Saturates.
    static std::uint64_t capacity_for(std::uint64_t held, std::uint64_t taps, std::uint64_t frames) noexcept {
        return std::max(sat_add(sat_add(sat_add(held, taps), frames), 8), sat_mul(4, taps));
    }

    // Makes room before a chunk of `frames` frames is appended; `taps` is the
    // filter length of the engine.
    void ensure_capacity(std::uint64_t frames, std::uint64_t taps) {
        const std::uint64_t need = capacity_for(static_cast<std::uint64_t>(std::max<std::int64_t>(len_, 0)), taps, frames);
        if (need <= capacity_) return;

        // Smallest power of two at or above `need`; beyond 2^63 none exists,
        // and such a byte size is out of range anyway.
        if (need > (std::uint64_t{1} << 63)) fault("capacity overflow");
        std::uint64_t grown = 1;
        while (grown < need) grown <<= 1;

        S* fresh = static_cast<S*>(checked_calloc(grown, sizeof(S)));
        const std::uint64_t mask = grown - 1;
        for (std::int64_t a = start_; a < start_ + len_; ++a) {
            fresh[static_cast<std::uint64_t>(a) & mask] = storage_[slot(a)];
        }
        std::free(storage_);
        storage_ = fresh;
        set_capacity(grown);
    }

    // Writes get(a) for every a in [lo, hi) to dst[a - lo]: the retained part
    // in at most two contiguous runs, zeros around it.
    void copy_range(std::int64_t lo, std::int64_t hi, S* dst) const noexcept {
        if (hi <= lo) return;
        const std::int64_t a = std::clamp(start_, lo, hi);
        const std::int64_t b = std::clamp(start_ + len_, a, hi);
        std::fill(dst, dst + (a - lo), S{});
        std::int64_t at = a;
        while (at < b) {
            const std::uint64_t s = slot(at);
            const auto run = static_cast<std::int64_t>(std::min<std::uint64_t>(capacity_ - s, static_cast<std::uint64_t>(b - at)));
            std::copy(storage_ + s, storage_ + s + run, dst + (at - lo));
            at += run;
        }
        std::fill(dst + (b - lo), dst + (hi - lo), S{});
    }

    // Makes [start, start + n) the retained range again, holding values[0]
    // .. values[n - 1]: a state this ring had before, so its capacity holds n.
    void restore(std::int64_t start, const S* values, std::uint64_t n) noexcept {
        start_ = start;
        len_ = 0;
        for (std::uint64_t i = 0; i < n; ++i) push(values[i]);
    }

    // Forgets the retained samples with index below k.
    void discard_before(std::int64_t k) {
        const std::int64_t end = start_ + len_;
        if (end < start_) {
            fault("min > max. min = " + std::to_string(start_) + ", max = " + std::to_string(end));
        }
        const std::int64_t new_start = std::clamp(k, start_, end);
        start_ = new_start;
        len_ = end - new_start;
    }

private:
    void set_capacity(std::uint64_t capacity) noexcept {
        capacity_ = capacity;
        mask_ = (capacity & (capacity - 1)) == 0 ? capacity - 1 : 0;
        // A capacity of 1 is a power of two whose mask is 0; the remainder
        // path gives the same slot 0.
    }

    S* storage_ = nullptr;
    std::uint64_t capacity_ = 0;
    std::uint64_t mask_ = 0;
    std::int64_t start_ = 0;
    std::int64_t len_ = 0;
};

}  // namespace tenvira
