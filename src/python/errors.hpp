// The one mapping from engine errors to Python exceptions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/config.hpp"
#include "base/result.hpp"

namespace tenvira::python {

// Raises ValueError with the error's message as its only argument (throws
// PythonError).
[[noreturn]] void to_py_err(const ResampleError& error);

// Parses the quality and backend names into a configuration, or raises
// ValueError with the unknown-name message.
ResamplerConfig config_from_parts(std::uint32_t input_rate, std::uint32_t output_rate, std::uint64_t channels,
                                  std::optional<std::string_view> quality, std::optional<std::string_view> backend,
                                  std::optional<std::uint64_t> max_input_frames_per_chunk);

}  // namespace tenvira::python
