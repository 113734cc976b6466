// Buffer-protocol input and output: numeric buffers read straight from
// memory, and the caller's writable buffers that output goes to.
#pragma once

#include <vector>

#include "python/boundary.hpp"

namespace tenvira::python {

// A buffer view held for the duration of one call.
class BufferView {
public:
    explicit BufferView(const Py_buffer& view) : view_(view) {}
    BufferView(BufferView&& other) noexcept : view_(other.view_) { other.view_.obj = nullptr; }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    BufferView& operator=(BufferView&&) = delete;
    ~BufferView() {
        if (view_.obj != nullptr) PyBuffer_Release(&view_);
    }
    const Py_buffer& get() const { return view_; }

private:
    Py_buffer view_;
};

// Fills `out` from `input` when it is a plain numeric buffer (exact bytes,
// bytearray, memoryview, array.array or numpy array, one-dimensional and
// contiguous) whose items convert as iterating it would convert them.
// Returns false, leaving `out` empty, when the input must be iterated
// instead (which then raises whatever iterating raises).
template <typename S>
bool read_plain_buffer(PyObject* input, std::vector<S>& out);

// The writable, C-contiguous buffer of `output` holding samples of format
// `code` ('f' for float32, 'h' for int16) and size `itemsize`; a TypeError
// (or the exporter's own error) otherwise.
BufferView output_buffer(PyObject* output, char code, Py_ssize_t itemsize, const char* sample_name);

}  // namespace tenvira::python
