#include "python/errors.hpp"

#include <string>
#include <variant>

#include "python/boundary.hpp"

namespace tenvira::python {

namespace {

[[noreturn]] void raise_value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw_python_error();
}

}  // namespace

void to_py_err(const ResampleError& error) { raise_value_error(error.message()); }

ResamplerConfig config_from_parts(std::uint32_t input_rate, std::uint32_t output_rate, std::uint64_t channels,
                                  std::optional<std::string_view> quality, std::optional<std::string_view> backend,
                                  std::optional<std::uint64_t> max_input_frames_per_chunk) {
    auto parsed = tenvira::config_from_parts(input_rate, output_rate, channels, quality, backend,
                                             max_input_frames_per_chunk);
    if (auto* message = std::get_if<std::string>(&parsed)) raise_value_error(*message);
    return std::get<ResamplerConfig>(parsed);
}

}  // namespace tenvira::python
