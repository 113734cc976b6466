// The (output, stats) tuple that process, finish and flush return, and the
// ProcessStats class.
#pragma once

#include <cstdint>
#include <vector>

#include "python/py.hpp"
#include "resampler/core.hpp"

namespace tenvira::python {

// The ProcessStats class (borrowed; created once per process). Throws
// PythonError when it cannot be created.
PyObject* process_stats_type();

// Builds (list, ProcessStats) from an engine result; the samples are
// released afterwards.
// A new ProcessStats instance.
PyObject* make_process_stats(const ProcessStats& stats);

PyObject* to_process_result(std::vector<float>&& samples, const ProcessStats& stats);
PyObject* to_process_result(std::vector<std::int16_t>&& samples, const ProcessStats& stats);

}  // namespace tenvira::python
