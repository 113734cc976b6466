// F32Resampler and I16Resampler: one class template over the sample type.
//
// Each object owns one stream engine of its sample type for the life of the
// stream, is bound to the thread that created it and serialises its calls
// through its access state (access.hpp).
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/arith.hpp"
#include "base/fault.hpp"
#include "base/memory.hpp"
#include "python/access.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/buffers.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/messages.hpp"
#include "python/results.hpp"
#include "resampler/core.hpp"

namespace tenvira::python {

namespace {

// What an object holds beyond the Python header.
template <typename S>
struct ResamplerState {
    ResamplerState(Core<S> engine, std::uint64_t channels)
        : core(std::move(engine)), channels(channels), owner_thread(PyThread_get_thread_ident()) {}

    Core<S> core;
    // Output rendered but not yet handed to the caller: a call whose result
    // could not be built leaves its frames here for the next call.
    std::vector<S> undelivered;
    std::uint64_t channels;
    std::atomic<std::int64_t> borrow_state{0};
    unsigned long owner_thread;
};

// Instance record; `PyF32Resampler` and `PyI16Resampler` below. The state is
// built in place once the engine exists and destroyed with the object on its
// own thread.
template <typename S>
struct PyResampler {
    PyObject_HEAD
    alignas(ResamplerState<S>) unsigned char storage[sizeof(ResamplerState<S>)];
    bool constructed;

    ResamplerState<S>& state() { return *std::launder(reinterpret_cast<ResamplerState<S>*>(storage)); }
};

using PyF32Resampler = PyResampler<float>;
using PyI16Resampler = PyResampler<std::int16_t>;

// What differs between the two classes beyond their texts.
template <typename S>
struct SampleKind;

template <>
struct SampleKind<float> {
    static constexpr char format = 'f';
    static std::vector<float> extract(PyObject* input) { return extract_f32_samples(input); }
};

template <>
struct SampleKind<std::int16_t> {
    static constexpr char format = 'h';
    static std::vector<std::int16_t> extract(PyObject* input) { return extract_i16_samples(input); }
};

constexpr const char* constructor_parameters[] = {"input_rate", "output_rate", "channels",
                                                   "quality", "backend", "max_input_frames_per_chunk"};
constexpr const char* process_parameters[] = {"input"};
constexpr const char* capacity_parameters[] = {"input_frames"};
constexpr const char* process_into_parameters[] = {"input", "output"};
constexpr const char* finish_into_parameters[] = {"output"};

// Output that could be handed over and must then be released; larger
// buffers are freed rather than kept between calls.
constexpr std::size_t kept_output_capacity = 65536;
// A result list costs a pointer and an object per sample; below a mebibyte
// no refusal is worth the probe.
constexpr std::uint64_t result_bytes_per_sample = 40;
constexpr std::uint64_t result_probe_threshold = std::uint64_t{1} << 20;

template <typename S>
struct ResamplerClass {
    using Record = PyResampler<S>;
    using Texts = messages::ClassTexts<S>;
    using Kind = SampleKind<S>;

    static inline PyObject* type = nullptr;

    static ResamplerState<S>& state(PyObject* self) { return reinterpret_cast<Record*>(self)->state(); }

    static Access exclusive(PyObject* self) {
        ResamplerState<S>& st = state(self);
        check_thread(st.owner_thread, Texts::type_path);
        return Access::exclusive(st.borrow_state);
    }

    static Access shared(PyObject* self) {
        ResamplerState<S>& st = state(self);
        check_thread(st.owner_thread, Texts::type_path);
        return Access::shared(st.borrow_state);
    }

    static FunctionDescription description(const char* function, std::span<const char* const> parameters,
                                           std::size_t required) {
        return FunctionDescription{Texts::name, function, parameters, required};
    }

    static PyObject* tp_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
        PyObject* slots[6];
        bind_arguments(description("__new__", constructor_parameters, 3), args, kwargs, slots);

        const std::uint32_t input_rate = convert_parameter("input_rate", [&] { return convert_u32(slots[0]); });
        const std::uint32_t output_rate = convert_parameter("output_rate", [&] { return convert_u32(slots[1]); });
        const std::uint64_t channels = convert_parameter("channels", [&] { return convert_u64(slots[2]); });
        std::optional<std::string_view> quality;
        if (slots[3] != nullptr) quality = convert_parameter("quality", [&] { return convert_text(slots[3]); });
        std::optional<std::string_view> backend;
        if (slots[4] != nullptr) backend = convert_parameter("backend", [&] { return convert_text(slots[4]); });
        std::optional<std::uint64_t> max_chunk;
        if (slots[5] != nullptr) {
            max_chunk = convert_parameter("max_input_frames_per_chunk", [&] { return convert_u64(slots[5]); });
        }

        const ResamplerConfig config =
            config_from_parts(input_rate, output_rate, channels, quality, backend, max_chunk);
        Result<Core<S>> created = Core<S>::create(config);
        if (!created) to_py_err(created.error());

        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
        PyObject* self = check(alloc(cls, 0));
        Record* r = reinterpret_cast<Record*>(self);
        new (r->storage) ResamplerState<S>(std::move(created).value(), channels);
        r->constructed = true;
        return self;
    }

    static void dealloc(PyObject* self) {
        Record* r = reinterpret_cast<Record*>(self);
        PyTypeObject* cls = Py_TYPE(self);
        if (r->constructed) {
            if (PyThread_get_thread_ident() == r->state().owner_thread) {
                r->state().~ResamplerState<S>();
            } else {
                // The engine belongs to its thread: leave it allocated, never
                // to be used again, and say so.
                PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
                PyErr_Fetch(&type, &value, &traceback);
                PyErr_SetString(PyExc_RuntimeError, messages::dropped_on_another_thread(Texts::type_path).c_str());
                PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(cls));
                PyErr_Restore(type, value, traceback);
            }
            r->constructed = false;
        }
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(cls, Py_tp_free));
        free_slot(self);
        Py_DECREF(cls);
    }

    // After the output was handed over: empty, and no large buffer kept
    // between calls.
    static void delivered(ResamplerState<S>& st) {
        if (st.undelivered.capacity() > kept_output_capacity) {
            std::vector<S>().swap(st.undelivered);
        } else {
            st.undelivered.clear();
        }
    }

    // (list, stats) of everything undelivered. If the list cannot be built
    // the samples stay for the next call, and the error is raised.
    static PyObject* hand_over(ResamplerState<S>& st, ProcessStats stats) {
        stats.output_frames = st.undelivered.size() / st.channels;
        PyObject* result = to_process_result(std::span<const S>(st.undelivered), stats);
        delivered(st);
        return result;
    }

    // Before a call takes input whose result list would be large, check that
    // memory for it can be had at all (an address-space limit included), so
    // that such a call is refused whole rather than taken and then stuck.
    static void check_result_memory(std::uint64_t samples) {
        const std::uint64_t bytes = sat_mul(samples, result_bytes_per_sample);
        if (bytes < result_probe_threshold) return;
        check_allocation(bytes);
        void* probe = std::malloc(static_cast<std::size_t>(bytes));
        if (probe == nullptr) throw std::bad_alloc();
        std::free(probe);
    }

    static PyObject* process(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[1];
        bind_arguments(description("process", process_parameters, 1), args, kwargs, slots);
        Access access = exclusive(self);
        ResamplerState<S>& st = state(self);
        std::vector<S> samples = convert_parameter("input", [&] { return Kind::extract(slots[0]); });
        if (!st.core.finished() && samples.size() % st.channels == 0) {
            const std::uint64_t due = st.core.frames_due_after(samples.size() / st.channels);
            check_result_memory(st.undelivered.size() + sat_mul(due, st.channels));
        }
        Result<ProcessStats> stats = st.core.process_append(samples, st.undelivered);
        if (!stats) to_py_err(stats.error());
        return hand_over(st, stats.value());
    }

    static PyObject* finish(PyObject* self, PyObject*) {
        Access access = exclusive(self);
        ResamplerState<S>& st = state(self);
        check_result_memory(st.undelivered.size() + sat_mul(st.core.pending_output_frames(), st.channels));
        const ProcessStats stats = st.core.finish_append(st.undelivered);
        return hand_over(st, stats);
    }

    static PyObject* reset(PyObject* self, PyObject*) {
        Access access = exclusive(self);
        ResamplerState<S>& st = state(self);
        st.core.reset();
        // A new stream: nothing of the old one is handed over any more.
        delivered(st);
        Py_RETURN_NONE;
    }

    static PyObject* required_output_capacity(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[1];
        bind_arguments(description("required_output_capacity", capacity_parameters, 1), args, kwargs, slots);
        Access access = shared(self);
        const std::uint64_t frames = convert_parameter("input_frames", [&] { return convert_u64(slots[0]); });
        return check(PyLong_FromUnsignedLongLong(state(self).core.required_output_capacity(frames)));
    }

    // The caller's output buffer as a span of samples.
    static std::span<S> samples_of(const BufferView& view) {
        const Py_buffer& b = view.get();
        return {static_cast<S*>(b.buf), static_cast<std::size_t>(b.len / b.itemsize)};
    }

    [[noreturn]] static void raise_too_small(std::size_t room, std::uint64_t need, const std::string& call) {
        PyErr_SetString(PyExc_ValueError, messages::output_too_small(room, need, call).c_str());
        throw_python_error();
    }

    // Copies everything undelivered to the caller's buffer.
    static ProcessStats copy_over(ResamplerState<S>& st, const std::span<S> target, ProcessStats stats) {
        const std::vector<S>& out = st.undelivered;
        if (out.size() > target.size()) unreachable("rendered output exceeds the caller's buffer");
        // Byte-wise: the caller's buffer need not be aligned for S.
        if (!out.empty()) std::memcpy(static_cast<void*>(target.data()), out.data(), out.size() * sizeof(S));
        stats.output_frames = out.size() / st.channels;
        delivered(st);
        return stats;
    }

    static BufferView output_of(PyObject* output) {
        return convert_parameter("output", [&] { return output_buffer(output, Kind::format, sizeof(S), Texts::sample_name); });
    }

    static PyObject* process_into(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[2];
        bind_arguments(description("process_into", process_into_parameters, 2), args, kwargs, slots);
        Access access = exclusive(self);
        ResamplerState<S>& st = state(self);
        std::vector<S> samples = convert_parameter("input", [&] { return Kind::extract(slots[0]); });
        BufferView view = output_of(slots[1]);
        const std::span<S> target = samples_of(view);
        const std::uint64_t frames = samples.size() / st.channels;
        const std::uint64_t need = st.undelivered.size() + st.core.required_output_capacity(frames);
        if (target.size() < need) {
            raise_too_small(target.size(), need,
                            "process_into (required_output_capacity(" + std::to_string(frames) + "))");
        }
        Result<ProcessStats> stats = st.core.process_append(samples, st.undelivered);
        if (!stats) to_py_err(stats.error());
        return make_process_stats(copy_over(st, target, stats.value()));
    }

    static PyObject* finish_into(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[1];
        bind_arguments(description("finish_into", finish_into_parameters, 1), args, kwargs, slots);
        Access access = exclusive(self);
        ResamplerState<S>& st = state(self);
        BufferView view = output_of(slots[0]);
        const std::span<S> target = samples_of(view);
        const std::uint64_t frames = st.core.pending_output_frames();
        const std::uint64_t need = st.undelivered.size() + frames * st.channels;
        if (target.size() < need) {
            raise_too_small(target.size(), need,
                            "finish_into (" + std::to_string(frames) + " frames of " + std::to_string(st.channels) +
                                " channels)");
        }
        const ProcessStats stats = st.core.finish_append(st.undelivered);
        return make_process_stats(copy_over(st, target, stats));
    }

    static PyObject* selected_backend(PyObject* self, void*) {
        Access access = shared(self);
        return check(PyUnicode_FromString(backend_name(state(self).core.backend())));
    }

    static PyObject* repr(PyObject* self) {
        Access access = shared(self);
        const std::string text = messages::resampler_repr(Texts::name, backend_name(state(self).core.backend()));
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }

    template <auto Fn>
    static PyCFunction with_keywords() {
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<Fn>::call));
    }

    static inline PyMethodDef methods[] = {
        {"process", with_keywords<process>(), METH_VARARGS | METH_KEYWORDS, Texts::process_doc},
        {"finish", boundary<finish>::call, METH_NOARGS, messages::finish_doc},
        {"flush", boundary<finish>::call, METH_NOARGS, messages::flush_doc},
        {"reset", boundary<reset>::call, METH_NOARGS, messages::reset_doc},
        {"required_output_capacity", with_keywords<required_output_capacity>(), METH_VARARGS | METH_KEYWORDS,
         messages::capacity_doc},
        {"process_into", with_keywords<process_into>(), METH_VARARGS | METH_KEYWORDS, Texts::process_into_doc},
        {"finish_into", with_keywords<finish_into>(), METH_VARARGS | METH_KEYWORDS, Texts::finish_into_doc},
        {nullptr, nullptr, 0, nullptr},  // sentinel
    };

    static inline PyGetSetDef getset[] = {
        {"selected_backend", boundary<selected_backend>::call, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
    };

    static inline PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(boundary<tp_new>::call)},
        {Py_tp_dealloc, reinterpret_cast<void*>(boundary<dealloc>::call)},
        {Py_tp_repr, reinterpret_cast<void*>(boundary<repr>::call)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>(Texts::doc)},
        {0, nullptr},  // sentinel
    };

    static inline PyType_Spec spec = {
        Texts::type_name,
        sizeof(Record),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };

    static PyObject* get() {
        if (type == nullptr) type = check(PyType_FromSpec(&spec));
        return type;
    }
};

PyObject* get_f32_resampler() { return ResamplerClass<float>::get(); }
PyObject* get_i16_resampler() { return ResamplerClass<std::int16_t>::get(); }
PyObject* get_process_stats() { return process_stats_type(); }

constexpr ModuleClass classes[] = {
    {messages::ClassTexts<float>::name, get_f32_resampler},
    {messages::ClassTexts<std::int16_t>::name, get_i16_resampler},
    {"ProcessStats", get_process_stats},
};

}  // namespace

std::span<const ModuleClass> module_classes() { return classes; }

}  // namespace tenvira::python
