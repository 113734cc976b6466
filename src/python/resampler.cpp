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
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/buffer_methods.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/messages.hpp"
#include "python/resampler_state.hpp"
#include "python/results.hpp"

namespace tenvira::python {

namespace {

// What differs between the two classes beyond their texts.
template <typename S>
struct SampleKind;

template <>
struct SampleKind<float> {
    static std::vector<float> extract(PyObject* input) { return extract_f32_samples(input); }
};

template <>
struct SampleKind<std::int16_t> {
    static std::vector<std::int16_t> extract(PyObject* input) { return extract_i16_samples(input); }
};

constexpr const char* constructor_parameters[] = {"input_rate", "output_rate", "channels",
                                                   "quality", "backend", "max_input_frames_per_chunk"};
constexpr const char* process_parameters[] = {"input"};
constexpr const char* capacity_parameters[] = {"input_frames"};
constexpr const char* process_into_parameters[] = {"input", "output"};
constexpr const char* finish_into_parameters[] = {"output"};
constexpr const char* process_array_parameters[] = {"input"};

// Output buffers up to this size are kept between calls; larger ones are
// freed once their call is over.
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

    static ResamplerState<S>& state(PyObject* self) { return state_of<S>(self); }
    static Access exclusive(PyObject* self) { return exclusive_access<S>(self); }
    static Access shared(PyObject* self) { return shared_access<S>(self); }

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
        auto* r = reinterpret_cast<Record*>(self);
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

    // After a call: no large output buffer is kept.
    static void release_output(ResamplerState<S>& st) {
        if (st.output.capacity() > kept_output_capacity) {
            std::vector<S>().swap(st.output);
        } else {
            st.output.clear();
        }
    }

    // Before a call takes input whose result list would be large, check that
    // memory for it can be had at all (an address-space limit included), so
    // that such a call is refused whole rather than failing half-way.
    static void check_result_memory(std::uint64_t samples) {
        const std::uint64_t bytes = sat_mul(samples, result_bytes_per_sample);
        if (bytes < result_probe_threshold) return;
        check_allocation(bytes);
        void* probe = std::malloc(static_cast<std::size_t>(bytes));
        if (probe == nullptr) throw std::bad_alloc();
        std::free(probe);
    }

    // (list, stats) of the call's output. What the caller gets is built
    // after the engine has run; if that fails, the call is undone, so that
    // it can be repeated with the same input.
    static PyObject* deliver(ResamplerState<S>& st, PyRef& record, const ProcessStats& stats) {
        try {
            PyRef list = sample_list(std::span<const S>(st.output));
            PyRef tuple = check_ref(PyTuple_New(2));
            fill_process_stats(record.get(), stats);
            PyTuple_SetItem(tuple.get(), 0, list.release());
            PyTuple_SetItem(tuple.get(), 1, record.release());
            release_output(st);
            return tuple.release();
        } catch (...) {
            st.core.restore(st.checkpoint);
            release_output(st);
            throw;
        }
    }

    static PyObject* process(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[1];
        bind_arguments(description("process", process_parameters, 1), args, kwargs, slots);
        Access access = exclusive(self);
        ResamplerState<S>& st = state(self);
        std::vector<S> samples = convert_parameter("input", [&] { return Kind::extract(slots[0]); });
        PyRef record = new_process_stats();
        if (!st.core.finished() && samples.size() % st.channels == 0) {
            const std::uint64_t due = st.core.frames_due_after(samples.size() / st.channels);
            check_result_memory(sat_mul(due, st.channels));
        }
        st.output.clear();
        st.core.save(st.checkpoint);
        Result<ProcessStats> stats = st.core.process_append(samples, st.output);
        if (!stats) to_py_err(stats.error());
        return deliver(st, record, stats.value());
    }

    static PyObject* finish(PyObject* self, PyObject*) {
        Access access = exclusive(self);
        ResamplerState<S>& st = state(self);
        PyRef record = new_process_stats();
        check_result_memory(sat_mul(st.core.pending_output_frames(), st.channels));
        st.output.clear();
        st.core.save(st.checkpoint);
        const ProcessStats stats = st.core.finish_append(st.output);
        return deliver(st, record, stats);
    }

    static PyObject* reset(PyObject* self, PyObject*) {
        Access access = exclusive(self);
        ResamplerState<S>& st = state(self);
        st.core.reset();
        release_output(st);
        Py_RETURN_NONE;
    }

    static PyObject* required_output_capacity(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[1];
        bind_arguments(description("required_output_capacity", capacity_parameters, 1), args, kwargs, slots);
        Access access = shared(self);
        const std::uint64_t frames = convert_parameter("input_frames", [&] { return convert_u64(slots[0]); });
        return check(PyLong_FromUnsignedLongLong(state(self).core.required_output_capacity(frames)));
    }

    static PyObject* process_into(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[2];
        bind_arguments(description("process_into", process_into_parameters, 2), args, kwargs, slots);
        Access access = exclusive(self);
        return BufferMethods<S>::process_into(state(self), slots[0], slots[1]);
    }

    static PyObject* finish_into(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[1];
        bind_arguments(description("finish_into", finish_into_parameters, 1), args, kwargs, slots);
        Access access = exclusive(self);
        return BufferMethods<S>::finish_into(state(self), slots[0]);
    }

    static PyObject* process_array(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[1];
        bind_arguments(description("process_array", process_array_parameters, 1), args, kwargs, slots);
        Access access = exclusive(self);
        return BufferMethods<S>::process_array(state(self), slots[0]);
    }

    static PyObject* finish_array(PyObject* self, PyObject*) {
        Access access = exclusive(self);
        return BufferMethods<S>::finish_array(state(self));
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
        {"process_array", with_keywords<process_array>(), METH_VARARGS | METH_KEYWORDS, Texts::process_array_doc},
        {"finish_array", boundary<finish_array>::call, METH_NOARGS, Texts::finish_array_doc},
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
