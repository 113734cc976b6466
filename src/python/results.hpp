// The (output, stats) tuple that process, finish and flush return, and the
// ProcessStats class.
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

// A new ProcessStats instance.
PyObject* make_process_stats(const ProcessStats& stats);

// Builds (list, ProcessStats) from output samples. The samples are only
// read: when the result cannot be built the caller still holds them.
PyObject* to_process_result(std::span<const float> samples, const ProcessStats& stats);
PyObject* to_process_result(std::span<const std::int16_t> samples, const ProcessStats& stats);

}  // namespace tenvira::python
