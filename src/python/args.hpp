// Binding of positional and keyword arguments to named parameters, and the
// conversions of bound values into native ones.
//
// Every failure throws `PythonError` with the Python exception set. Binding
// failures are TypeErrors worded like CPython's own; conversion failures keep
// their own type and message, and callers add the parameter's name as a note.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "python/boundary.hpp"

namespace tenvira::python {

struct FunctionDescription {
    const char* class_name;     // "F32Resampler"
    const char* function_name;  // "__new__", "process", ...
    std::span<const char* const> parameters;
    std::size_t required;  // leading parameters without a default
};

// Fills `slots` (one per parameter) with borrowed references; an empty slot,
// or an optional parameter given None, is null.
void bind_arguments(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots);

std::uint32_t convert_u32(PyObject* value);
std::uint64_t convert_u64(PyObject* value);
// The UTF-8 text of a str; the view lives as long as the str object.
std::string_view convert_text(PyObject* value);

// The input of process() as samples. Exact lists and tuples are read by
// index, and plain numeric buffers (bytes, bytearray, memoryview,
// array.array, numpy arrays) straight from memory; everything else is
// iterated. Every path yields the values, and raises the errors, that
// iterating the input item by item would.
std::vector<float> extract_f32_samples(PyObject* input);
std::vector<std::int16_t> extract_i16_samples(PyObject* input);

// One item as a sample, as the two functions above convert each item.
float f32_item(PyObject* item);
std::int16_t i16_item(PyObject* item);

// Attaches "while processing '<name>'" to the pending exception through its
// add_note method; the exception stays pending, with or without the note.
void add_note(const char* parameter);

// Runs `convert` on `value`; a failure gets the parameter's note.
template <typename F>
auto convert_parameter(const char* parameter, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PythonError&) {
        add_note(parameter);
        throw;
    }
}

}  // namespace tenvira::python
