// Every text a caller of the module sees, in one place: names and type paths,
// docstrings, and the messages of the exceptions the Python layer raises
// itself. (Engine errors carry their own messages, src/base/result.cpp.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tenvira::python::messages {

// The module.
inline constexpr const char* module_name = "tenvira";
inline constexpr const char* module_doc = "";
inline constexpr const char* quality_values_doc = "quality_values()\n--\n\n";
inline constexpr const char* backend_values_doc = "backend_values()\n--\n\n";
inline constexpr const char* not_a_module = "module execution step needs a module object";

// Internal faults.
inline constexpr const char* fault_type_name = "extension_runtime.FaultException";
inline constexpr const char* fault_doc =
    "Raised when native code called from Python meets an internal fault.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it typically propagates all the way up and ends the interpreter\n"
    "instead of being swallowed by an ordinary `except Exception` clause.";
inline constexpr const char* no_exception_set = "error return without exception set";
inline constexpr const char* unknown_cpp_exception = "internal error: unknown C++ exception";
std::string internal_error(std::string_view what);

// ProcessStats.
inline constexpr const char* stats_type_name = "tenvira.ProcessStats";
inline constexpr const char* stats_cannot_create = "cannot create 'tenvira.ProcessStats' instances";
inline constexpr const char* stats_type_failed = "failed to create type object for `ProcessStats`";
std::string stats_repr(std::uint64_t input_frames, std::uint64_t output_frames, std::string_view backend);

// The two resampler classes.
template <typename S>
struct ClassTexts;

template <>
struct ClassTexts<float> {
    static constexpr const char* name = "F32Resampler";
    static constexpr const char* type_name = "tenvira.F32Resampler";
    static constexpr const char* type_path = "tenvira::python::PyF32Resampler";
    static constexpr const char* sample_name = "float32";
    static constexpr const char* doc =
        "F32Resampler(input_rate, output_rate, channels, quality=None, backend=None, "
        "max_input_frames_per_chunk=None)\n--\n\n";
    static constexpr const char* process_doc =
        "process($self, input)\n--\n\nProcess interleaved f32 samples and return `(output, stats)`.";
    static constexpr const char* process_into_doc =
        "process_into($self, input, output)\n--\n\n"
        "Process interleaved f32 samples into the writable float32 buffer `output` and return the "
        "`ProcessStats`.\n\n`input` may also be a (frames, channels) array of numbers, and `output` a "
        "C-contiguous (frames, channels) array. `output` must hold at least "
        "`required_output_capacity(frames)` samples; the output samples are written to its start.";
    static constexpr const char* finish_into_doc =
        "finish_into($self, output)\n--\n\n"
        "Finish the stream into the writable float32 buffer `output` and return the `ProcessStats`.\n\n"
        "`output` must hold the frames still to come times the channel count.";
    static constexpr const char* process_array_doc =
        "process_array($self, input)\n--\n\n"
        "Process f32 samples and return `(output, stats)`, `output` a new (frames, channels) array of "
        "float32 samples (numpy.asarray(output) and memoryview(output) wrap them without a copy).\n\n"
        "`input` is interleaved samples or a (frames, channels) array of numbers.";
    static constexpr const char* finish_array_doc =
        "finish_array($self)\n--\n\n"
        "Finish the stream and return `(output, stats)`, `output` a new (frames, channels) array of "
        "float32 samples.";
};

template <>
struct ClassTexts<std::int16_t> {
    static constexpr const char* name = "I16Resampler";
    static constexpr const char* type_name = "tenvira.I16Resampler";
    static constexpr const char* type_path = "tenvira::python::PyI16Resampler";
    static constexpr const char* sample_name = "int16";
    static constexpr const char* doc =
        "I16Resampler(input_rate, output_rate, channels, quality=None, backend=None, "
        "max_input_frames_per_chunk=None)\n--\n\n";
    static constexpr const char* process_doc =
        "process($self, input)\n--\n\nProcess interleaved i16 samples and return `(output, stats)`.";
    static constexpr const char* process_into_doc =
        "process_into($self, input, output)\n--\n\n"
        "Process interleaved i16 samples into the writable int16 buffer `output` and return the "
        "`ProcessStats`.\n\n`input` may also be a (frames, channels) array of numbers, and `output` a "
        "C-contiguous (frames, channels) array. `output` must hold at least "
        "`required_output_capacity(frames)` samples; the output samples are written to its start.";
    static constexpr const char* finish_into_doc =
        "finish_into($self, output)\n--\n\n"
        "Finish the stream into the writable int16 buffer `output` and return the `ProcessStats`.\n\n"
        "`output` must hold the frames still to come times the channel count.";
    static constexpr const char* process_array_doc =
        "process_array($self, input)\n--\n\n"
        "Process i16 samples and return `(output, stats)`, `output` a new (frames, channels) array of "
        "int16 samples (numpy.asarray(output) and memoryview(output) wrap them without a copy).\n\n"
        "`input` is interleaved samples or a (frames, channels) array of numbers.";
    static constexpr const char* finish_array_doc =
        "finish_array($self)\n--\n\n"
        "Finish the stream and return `(output, stats)`, `output` a new (frames, channels) array of "
        "int16 samples.";
};

inline constexpr const char* finish_doc = "finish($self)\n--\n\nFinish the stream and return `(output, stats)`.";
inline constexpr const char* flush_doc = "flush($self)\n--\n\nAlias for `finish`.";
inline constexpr const char* reset_doc = "reset($self)\n--\n\n";
inline constexpr const char* capacity_doc = "required_output_capacity($self, input_frames)\n--\n\n";

// Thread binding and exclusive access.
inline constexpr const char* already_borrowed = "Already borrowed";
inline constexpr const char* already_mutably_borrowed = "Already mutably borrowed";
std::string sent_to_another_thread(const char* type_path, unsigned long current, unsigned long owner);
std::string dropped_on_another_thread(const char* type_path);
std::string resampler_repr(const char* class_name, std::string_view backend);

// Buffers.
std::string output_too_small(std::size_t room, std::uint64_t need, std::string_view call);
std::string wrong_output_format(const char* sample_name, char code, std::string_view format);
// A (frames, channels) array whose shape does not match; `what` is "input"
// or "output".
std::string wrong_shape(std::string_view what, const std::vector<std::int64_t>& shape, std::uint64_t channels);
std::string unreadable_format(std::string_view format);

// Argument binding, worded like CPython's own messages.
std::string too_many_positional(std::string_view function, std::size_t required, std::size_t count,
                                std::size_t given);
std::string keywords_must_be_strings(std::string_view function);
std::string unexpected_keyword(std::string_view function, std::string_view name);
std::string multiple_values(std::string_view function, std::string_view name);
std::string missing_required(std::string_view function, const std::vector<const char*>& names);

// Value conversion.
inline constexpr const char* out_of_range = "out of range integral type conversion attempted";
inline constexpr const char* str_is_not_samples = "Can't extract `str` to `Vec`";
inline constexpr const char* none_is_not_a_sequence = "'None' is not an instance of 'Sequence'";
std::string not_an_instance(std::string_view type_name, std::string_view what);
std::string while_processing(std::string_view parameter);

}  // namespace tenvira::python::messages
