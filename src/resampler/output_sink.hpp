// Where the output of one engine call goes: the end of a growable array, or
// a fixed span of the caller's memory that is written in place.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "base/fault.hpp"

namespace tenvira {

template <typename S>
class OutputSink {
public:
    // Appends to `samples`, which keeps what it held.
    explicit OutputSink(std::vector<S>& samples) : vector_(&samples), start_(samples.size()) {}
    // Writes from the start of `room`.
    explicit OutputSink(std::span<S> room) : room_(room) {}

    // Room for `count` more samples at the end. A vector has been reserved
    // for the call beforehand, so this does not reallocate; a span that is
    // too small is a fault, since callers size it from an upper bound.
    S* grow(std::size_t count) {
        if (vector_ != nullptr) {
            const std::size_t at = vector_->size();
            vector_->resize(at + count);
            return vector_->data() + at;
        }
        if (count > room_.size() - used_) fault("rendered output exceeds the caller's buffer");
        S* at = room_.data() + used_;
        used_ += count;
        return at;
    }

    // Samples written by this call.
    std::size_t written() const noexcept { return vector_ != nullptr ? vector_->size() - start_ : used_; }

    // Forgets what this call wrote.
    void discard() noexcept {
        if (vector_ != nullptr) {
            vector_->resize(start_);
        } else {
            used_ = 0;
        }
    }

    std::vector<S>* vector() const noexcept { return vector_; }

private:
    std::vector<S>* vector_ = nullptr;
    std::size_t start_ = 0;
    std::span<S> room_;
    std::size_t used_ = 0;
};

}  // namespace tenvira
