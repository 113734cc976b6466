// The input of the buffer methods (process_into, process_array): samples in
// blocks, read straight from a numeric buffer where the input is one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "python/buffers.hpp"
#include "python/numeric.hpp"

namespace tenvira::python {

template <typename S>
class SampleInput {
public:
    // `input` is a numeric buffer, one-dimensional (interleaved samples) or
    // two-dimensional (frames, channels) in any memory order, or any other
    // sequence of numbers, which is read item by item now. Raises what
    // reading the items one by one raises, and ValueError for a buffer whose
    // shape does not fit `channels`.
    SampleInput(PyObject* input, std::uint64_t channels);

    std::uint64_t samples() const noexcept { return listed_ ? listed_->size() : items_.count(); }

    // Samples [first, first + count) as S, contiguous: the caller's memory
    // itself where it already holds them, else converted into `scratch`.
    // Plain memory work: safe without the interpreter lock while the input
    // is held.
    std::span<const S> block(std::uint64_t first, std::uint64_t count, std::vector<S>& scratch) const;

private:
    std::optional<BufferView> view_;
    NumericItems items_;
    bool direct_ = false;  // the items are S, contiguous and aligned
    std::optional<std::vector<S>> listed_;
};

// The writable, C-contiguous output buffer of the buffer methods, of the
// class's sample format, one-dimensional or (frames, channels).
template <typename S>
struct OutputTarget {
    BufferView view;
    std::span<S> samples;
};

}  // namespace tenvira::python
