// The arrays that process_array and finish_array return: a block of samples
// of shape (frames, channels), owned by a small internal exporter and handed
// out as a memoryview, which numpy wraps without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "python/py.hpp"

namespace tenvira::python {

// An exporter with room for `capacity` samples of `itemsize` bytes, format
// `code` ('f' or 'h'); its contents start uninitialised. Throws PythonError.
PyRef new_sample_array(std::size_t capacity, std::size_t itemsize, char code);

// The room of an array made by new_sample_array.
std::span<unsigned char> sample_array_room(PyObject* array) noexcept;

// A memoryview of the first frames × channels samples, shaped (frames,
// channels). Throws PythonError.
PyRef sample_array_view(PyObject* array, std::uint64_t frames, std::uint64_t channels);

}  // namespace tenvira::python
