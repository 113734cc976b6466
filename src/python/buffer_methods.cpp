#include "python/buffer_methods.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <string>

#include "base/arith.hpp"
#include "base/fault.hpp"
#include "python/args.hpp"
#include "python/buffers.hpp"
#include "python/errors.hpp"
#include "python/results.hpp"
#include "python/sample_array.hpp"
#include "python/sample_input.hpp"

namespace tenvira::python {

namespace {

// Input goes to the engine in blocks of about this many samples, so that a
// call on an hour of audio needs no hour-sized history or scratch.
constexpr std::uint64_t block_samples = std::uint64_t{1} << 15;
// Output beyond this many bytes goes to memory through streaming stores.
constexpr std::size_t streamed_output_bytes = std::size_t{1} << 21;
// Calls with at least this many samples of input or output release the
// interpreter lock while the engine works; below it the hand-over would
// cost about as much as it frees.
constexpr std::uint64_t release_samples = 256;

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw_python_error();
}

template <typename S>
OutputTarget<S> output_target(PyObject* output, std::uint64_t channels) {
    return convert_parameter("output", [&] {
        BufferView view = output_buffer(output, format_code<S>, sizeof(S), messages::ClassTexts<S>::sample_name);
        const Py_buffer& b = view.get();
        if (b.ndim > 2 || (b.ndim == 2 && static_cast<std::uint64_t>(b.shape[1]) != channels)) {
            raise(PyExc_ValueError,
                  messages::wrong_shape("output", std::vector<std::int64_t>(b.shape, b.shape + b.ndim), channels));
        }
        const std::span<S> samples(static_cast<S*>(b.buf), static_cast<std::size_t>(b.len / b.itemsize));
        return OutputTarget<S>{std::move(view), samples};
    });
}

[[noreturn]] void raise_too_small(std::size_t room, std::uint64_t need, const std::string& call) {
    raise(PyExc_ValueError, messages::output_too_small(room, need, call));
}

// Copies n samples to memory that will not be read again soon: the aligned
// middle with streaming stores, which write whole cache lines without
// reading them first (a long call's output would otherwise be read in from
// memory only to be overwritten).
template <typename S>
void stream_out(S* dst, const S* src, std::size_t n) noexcept {
    auto* d = reinterpret_cast<unsigned char*>(dst);
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    std::size_t bytes = n * sizeof(S);
    const std::size_t head = std::min(bytes, (16 - reinterpret_cast<std::uintptr_t>(d) % 16) % 16);
    std::memcpy(d, s, head);
    d += head;
    s += head;
    bytes -= head;
    for (; bytes >= 16; bytes -= 16, d += 16, s += 16) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(d), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
    }
    std::memcpy(d, s, bytes);
    _mm_sfence();
}

// Runs the input through the engine block by block, writing from the start
// of `out`. The stream's state before the call is kept in st.checkpoint
// first; if any block fails, the whole call is undone. Output larger than the
// caches is rendered a block at a time into scratch and streamed out.
template <typename S>
ProcessStats run(ResamplerState<S>& st, const SampleInput<S>& in, std::span<S> out) {
    Core<S>& core = st.core;
    core.save(st.checkpoint);
    const std::uint64_t samples = in.samples();
    const std::uint64_t channels = st.channels;
    // A finished stream ignores its input, as process does.
    if (core.finished()) return ProcessStats{0, 0, core.backend()};
    if (samples % channels != 0) to_py_err(ResampleError::misaligned_input(samples, channels));
    const std::uint64_t block = std::max<std::uint64_t>(1, block_samples / channels) * channels;
    const bool streamed = out.size() * sizeof(S) > streamed_output_bytes;
    if (streamed) st.output.resize(static_cast<std::size_t>(core.required_output_capacity(block / channels)));
    std::size_t written = 0;
    WithoutGil unlocked(samples >= release_samples);
    try {
        for (std::uint64_t at = 0; at < samples; at += block) {
            const std::span<const S> chunk = in.block(at, std::min(block, samples - at), st.converted);
            if (!streamed) {
                written += core.process_into(chunk, out.subspan(written)).value().output_frames * channels;
                continue;
            }
            const std::size_t n = core.process_into(chunk, st.output).value().output_frames * channels;
            if (n > out.size() - written) unreachable("rendered output exceeds the caller's buffer");
            stream_out(out.data() + written, st.output.data(), n);
            written += n;
        }
    } catch (...) {
        core.restore(st.checkpoint);
        throw;
    }
    return ProcessStats{samples / channels, written / channels, core.backend()};
}

template <typename S>
ProcessStats run_finish(ResamplerState<S>& st, std::span<S> out) {
    st.core.save(st.checkpoint);
    WithoutGil unlocked(out.size() >= release_samples);
    return st.core.finish_into(out);
}

// (the array, stats); a failure here undoes the call.
template <typename S>
PyObject* deliver_array(ResamplerState<S>& st, PyRef& array, PyRef& record, PyRef& tuple, const ProcessStats& s) {
    try {
        shape_sample_array(array.get(), s.output_frames, st.channels);
        fill_process_stats(record.get(), s);
        PyTuple_SetItem(tuple.get(), 0, array.release());
        PyTuple_SetItem(tuple.get(), 1, record.release());
        return tuple.release();
    } catch (...) {
        st.core.restore(st.checkpoint);
        throw;
    }
}

template <typename S>
std::span<S> room_of(PyObject* array, std::uint64_t samples) {
    return {reinterpret_cast<S*>(sample_array_room(array).data()), static_cast<std::size_t>(samples)};
}

}  // namespace

template <typename S>
PyObject* BufferMethods<S>::process_into(ResamplerState<S>& st, PyObject* input, PyObject* output) {
    const SampleInput<S> in = convert_parameter("input", [&] { return SampleInput<S>(input, st.channels); });
    const OutputTarget<S> target = output_target<S>(output, st.channels);
    const std::uint64_t frames = in.samples() / st.channels;
    const std::uint64_t need = st.core.required_output_capacity(frames);
    if (target.samples.size() < need) {
        raise_too_small(target.samples.size(), need,
                        "process_into (required_output_capacity(" + std::to_string(frames) + "))");
    }
    // Everything the call hands back exists before the stream moves on.
    PyRef record = new_process_stats();
    fill_process_stats(record.get(), run(st, in, target.samples));
    return record.release();
}

template <typename S>
PyObject* BufferMethods<S>::finish_into(ResamplerState<S>& st, PyObject* output) {
    const OutputTarget<S> target = output_target<S>(output, st.channels);
    const std::uint64_t frames = st.core.pending_output_frames();
    const std::uint64_t need = sat_mul(frames, st.channels);
    if (target.samples.size() < need) {
        raise_too_small(target.samples.size(), need,
                        "finish_into (" + std::to_string(frames) + " frames of " + std::to_string(st.channels) +
                            " channels)");
    }
    PyRef record = new_process_stats();
    fill_process_stats(record.get(), run_finish(st, target.samples.first(static_cast<std::size_t>(need))));
    return record.release();
}

template <typename S>
PyObject* BufferMethods<S>::process_array(ResamplerState<S>& st, PyObject* input) {
    const SampleInput<S> in = convert_parameter("input", [&] { return SampleInput<S>(input, st.channels); });
    const std::uint64_t samples = in.samples();
    const bool takes = !st.core.finished() && samples % st.channels == 0;
    const std::uint64_t room = takes ? sat_mul(st.core.frames_due_after(samples / st.channels), st.channels) : 0;
    PyRef array = new_sample_array(static_cast<std::size_t>(room), sizeof(S), format_code<S>);
    PyRef record = new_process_stats();
    PyRef tuple = check_ref(PyTuple_New(2));
    const ProcessStats s = run(st, in, room_of<S>(array.get(), room));
    return deliver_array(st, array, record, tuple, s);
}

template <typename S>
PyObject* BufferMethods<S>::finish_array(ResamplerState<S>& st) {
    const std::uint64_t room = sat_mul(st.core.pending_output_frames(), st.channels);
    PyRef array = new_sample_array(static_cast<std::size_t>(room), sizeof(S), format_code<S>);
    PyRef record = new_process_stats();
    PyRef tuple = check_ref(PyTuple_New(2));
    const ProcessStats s = run_finish(st, room_of<S>(array.get(), room));
    return deliver_array(st, array, record, tuple, s);
}

template struct BufferMethods<float>;
template struct BufferMethods<std::int16_t>;

}  // namespace tenvira::python
