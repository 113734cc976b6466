// The ProcessStats class and the pieces of the results of process, finish
// and flush.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "python/py.hpp"
#include "resampler/core.hpp"

namespace tenvira::python {

// The ProcessStats class (borrowed; created once per process). Throws
// PythonError when it cannot be created.
PyObject* process_stats_type();

// A new ProcessStats, allocated before the call whose counts it will carry
// and filled once, before it is handed out.
PyRef new_process_stats();
void fill_process_stats(PyObject* record, const ProcessStats& stats) noexcept;

// The samples as a new list of floats or ints.
PyRef sample_list(std::span<const float> samples);
PyRef sample_list(std::span<const std::int16_t> samples);

}  // namespace tenvira::python
