// The arrays that process_array and finish_array return: a block of samples
// of shape (frames, channels) in one small object that exports them through
// the buffer protocol, so that numpy wraps them without a copy (a memoryview
// on top would cost each call two more objects).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "python/py.hpp"

namespace tenvira::python {

// An array with room for `capacity` samples of `itemsize` bytes, format
// `code` ('f' or 'h'); its contents start uninitialised. Throws PythonError.
PyRef new_sample_array(std::size_t capacity, std::size_t itemsize, char code);

// The room of an array made by new_sample_array.
std::span<unsigned char> sample_array_room(PyObject* array) noexcept;

// Shapes the array (frames, channels): its first frames × channels samples.
// Done once, before the array is handed out.
void shape_sample_array(PyObject* array, std::uint64_t frames, std::uint64_t channels) noexcept;

}  // namespace tenvira::python
