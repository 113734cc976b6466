// F32Resampler and I16Resampler: one class template over the sample type.
//
// Each object owns one stream engine for the life of the stream, is bound to
// the thread that created it and serialises its calls through an atomic
// access state, so that Python code running inside a call (an element's
// __float__, say) cannot re-enter the engine.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/fault.hpp"
#include "base/memory.hpp"
#include "base/text.hpp"
#include "python/args.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/results.hpp"
#include "resampler/core.hpp"

namespace tenvira::python {

namespace {

using ResamplerCore = std::variant<CoreF32, CoreI16>;

// Instance record; `PyF32Resampler` and `PyI16Resampler` below.
template <typename S>
struct PyResampler {
    PyObject_HEAD
    ResamplerCore* core;
    // Output rendered but not yet handed to the caller: a call whose result
    // could not be built leaves its frames here for the next call.
    std::vector<S>* undelivered;
    std::uint64_t channels;
    std::atomic<std::int64_t> borrow_state;  // 0 idle, -1 exclusive, n > 0 shared
    unsigned long owner_thread;
};

using PyF32Resampler = PyResampler<float>;
using PyI16Resampler = PyResampler<std::int16_t>;

template <typename S>
struct ClassInfo;

template <>
struct ClassInfo<float> {
    static constexpr const char* name = "F32Resampler";
    static constexpr const char* type_name = "tenvira.F32Resampler";
    static constexpr const char* type_path = "tenvira::python::PyF32Resampler";
    static constexpr const char* doc =
        "F32Resampler(input_rate, output_rate, channels, quality=None, backend=None, "
        "max_input_frames_per_chunk=None)\n--\n\n";
    static constexpr const char* process_doc =
        "process($self, input)\n--\n\nProcess interleaved f32 samples and return `(output, stats)`.";
    static constexpr const char* wrong_core = "f32 resampler cannot hold i16 core";
    static constexpr char format = 'f';
    static constexpr const char* sample_name = "float32";
    static constexpr const char* process_into_doc =
        "process_into($self, input, output)\n--\n\n"
        "Process interleaved f32 samples into the writable float32 buffer `output` and return the "
        "`ProcessStats`.\n\n`output` must hold at least `required_output_capacity(frames)` samples; the "
        "output samples are written to its start.";
    static constexpr const char* finish_into_doc =
        "finish_into($self, output)\n--\n\n"
        "Finish the stream into the writable float32 buffer `output` and return the `ProcessStats`.\n\n"
        "`output` must hold the frames still to come times the channel count.";
    static std::vector<float> extract(PyObject* input) { return extract_f32_samples(input); }
};

template <>
struct ClassInfo<std::int16_t> {
    static constexpr const char* name = "I16Resampler";
    static constexpr const char* type_name = "tenvira.I16Resampler";
    static constexpr const char* type_path = "tenvira::python::PyI16Resampler";
    static constexpr const char* doc =
        "I16Resampler(input_rate, output_rate, channels, quality=None, backend=None, "
        "max_input_frames_per_chunk=None)\n--\n\n";
    static constexpr const char* process_doc =
        "process($self, input)\n--\n\nProcess interleaved i16 samples and return `(output, stats)`.";
    static constexpr const char* wrong_core = "i16 resampler cannot hold f32 core";
    static constexpr char format = 'h';
    static constexpr const char* sample_name = "int16";
    static constexpr const char* process_into_doc =
        "process_into($self, input, output)\n--\n\n"
        "Process interleaved i16 samples into the writable int16 buffer `output` and return the "
        "`ProcessStats`.\n\n`output` must hold at least `required_output_capacity(frames)` samples; the "
        "output samples are written to its start.";
    static constexpr const char* finish_into_doc =
        "finish_into($self, output)\n--\n\n"
        "Finish the stream into the writable int16 buffer `output` and return the `ProcessStats`.\n\n"
        "`output` must hold the frames still to come times the channel count.";
    static std::vector<std::int16_t> extract(PyObject* input) { return extract_i16_samples(input); }
};

constexpr const char* constructor_parameters[] = {"input_rate", "output_rate", "channels",
                                                   "quality", "backend", "max_input_frames_per_chunk"};
constexpr const char* process_parameters[] = {"input"};
constexpr const char* capacity_parameters[] = {"input_frames"};
constexpr const char* process_into_parameters[] = {"input", "output"};
constexpr const char* finish_into_parameters[] = {"output"};

// Holds the access state for one call and gives it back when the call ends.
class Access {
public:
    static Access exclusive(std::atomic<std::int64_t>& state) {
        std::int64_t expected = 0;
        if (!state.compare_exchange_strong(expected, -1)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            throw_python_error();
        }
        return Access(state, true);
    }

    static Access shared(std::atomic<std::int64_t>& state) {
        std::int64_t current = state.load();
        do {
            if (current == -1) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                throw_python_error();
            }
        } while (!state.compare_exchange_weak(current, current + 1));
        return Access(state, false);
    }

    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    Access(Access&& other) noexcept : state_(std::exchange(other.state_, nullptr)), exclusive_(other.exclusive_) {}
    ~Access() {
        if (state_ == nullptr) return;
        if (exclusive_) {
            state_->store(0);
        } else {
            state_->fetch_sub(1);
        }
    }

private:
    Access(std::atomic<std::int64_t>& state, bool exclusive) : state_(&state), exclusive_(exclusive) {}

    std::atomic<std::int64_t>* state_;
    bool exclusive_;
};

template <typename S>
struct ResamplerClass {
    using Record = PyResampler<S>;
    using Info = ClassInfo<S>;

    static inline PyObject* type = nullptr;

    static Record* record(PyObject* self) { return reinterpret_cast<Record*>(self); }

    static Core<S>& engine(Record* r) {
        auto* core = std::get_if<Core<S>>(r->core);
        if (core == nullptr) unreachable(Info::wrong_core);
        return *core;
    }

    static void check_thread(Record* r) {
        const unsigned long current = PyThread_get_thread_ident();
        if (current != r->owner_thread) {
            fault(std::string("assertion `left == right` failed: ") + Info::type_path +
                  " is unsendable, but sent to another thread\n  left: " + std::to_string(current) +
                  "\n right: " + std::to_string(r->owner_thread));
        }
    }

    static Access exclusive(PyObject* self) {
        check_thread(record(self));
        return Access::exclusive(record(self)->borrow_state);
    }

    static Access shared(PyObject* self) {
        check_thread(record(self));
        return Access::shared(record(self)->borrow_state);
    }

    static FunctionDescription description(const char* function, std::span<const char* const> parameters,
                                           std::size_t required) {
        return FunctionDescription{Info::name, function, parameters, required};
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
        auto core = std::make_unique<ResamplerCore>(std::in_place_type<Core<S>>, std::move(created).value());

        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
        PyObject* self = check(alloc(cls, 0));
        Record* r = record(self);
        r->core = core.release();
        r->undelivered = nullptr;
        r->channels = channels;
        new (&r->borrow_state) std::atomic<std::int64_t>(0);
        r->owner_thread = PyThread_get_thread_ident();
        return self;
    }

    static void dealloc(PyObject* self) {
        Record* r = record(self);
        PyTypeObject* cls = Py_TYPE(self);
        if (r->core != nullptr) {
            if (PyThread_get_thread_ident() == r->owner_thread) {
                delete r->core;
                delete r->undelivered;
            } else {
                // The engine belongs to its thread: leave it allocated, never
                // to be used again, and say so.
                PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
                PyErr_Fetch(&type, &value, &traceback);
                const std::string message =
                    std::string(Info::type_path) + " is unsendable, but is being dropped on another thread";
                PyErr_SetString(PyExc_RuntimeError, message.c_str());
                PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(cls));
                PyErr_Restore(type, value, traceback);
            }
            r->core = nullptr;
            r->undelivered = nullptr;
        }
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(cls, Py_tp_free));
        free_slot(self);
        Py_DECREF(cls);
    }

    // The output waiting to be handed over (created on first use).
    static std::vector<S>& undelivered(Record* r) {
        if (r->undelivered == nullptr) r->undelivered = new std::vector<S>();
        return *r->undelivered;
    }

    // After the output was handed over: empty, and no large buffer kept
    // between calls.
    static void delivered(Record* r) {
        std::vector<S>& out = *r->undelivered;
        if (out.capacity() > 65536) {
            std::vector<S>().swap(out);
        } else {
            out.clear();
        }
    }

    // (list, stats) of everything undelivered. If the list cannot be built
    // the samples stay for the next call, and the error is raised.
    static PyObject* hand_over(Record* r, ProcessStats stats) {
        const std::vector<S>& out = *r->undelivered;
        stats.output_frames = out.size() / r->channels;
        PyObject* result = to_process_result(std::span<const S>(out), stats);
        delivered(r);
        return result;
    }

    // A list of `samples` items takes a pointer and an object per item.
    // Before a call takes input whose result would be large, check that
    // memory for it can be had at all (an address-space limit included), so
    // that such a call is refused whole rather than taken and then stuck.
    static void check_result_memory(std::uint64_t samples) {
        const std::uint64_t bytes = samples > (std::uint64_t{1} << 58) ? ~std::uint64_t{0} : samples * 40;
        if (bytes < (std::uint64_t{1} << 20)) return;
        check_allocation(bytes);
        void* probe = std::malloc(static_cast<std::size_t>(bytes));
        if (probe == nullptr) throw std::bad_alloc();
        std::free(probe);
    }

    static PyObject* process(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[1];
        bind_arguments(description("process", process_parameters, 1), args, kwargs, slots);
        Access access = exclusive(self);
        Record* r = record(self);
        std::vector<S> samples = convert_parameter("input", [&] { return Info::extract(slots[0]); });
        Core<S>& core = engine(r);
        std::vector<S>& out = undelivered(r);
        if (!core.finished() && samples.size() % r->channels == 0) {
            const std::uint64_t due = core.frames_due_after(samples.size() / r->channels);
            check_result_memory(out.size() + due * r->channels);
        }
        Result<ProcessStats> stats = core.process_append(samples, out);
        if (!stats) to_py_err(stats.error());
        return hand_over(r, stats.value());
    }

    static PyObject* finish(PyObject* self, PyObject*) {
        Access access = exclusive(self);
        Record* r = record(self);
        Core<S>& core = engine(r);
        check_result_memory(undelivered(r).size() + core.pending_output_frames() * r->channels);
        const ProcessStats stats = core.finish_append(undelivered(r));
        return hand_over(r, stats);
    }

    static PyObject* reset(PyObject* self, PyObject*) {
        Access access = exclusive(self);
        Record* r = record(self);
        engine(r).reset();
        // A new stream: nothing of the old one is handed over any more.
        if (r->undelivered != nullptr) delivered(r);
        Py_RETURN_NONE;
    }

    static PyObject* required_output_capacity(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[1];
        bind_arguments(description("required_output_capacity", capacity_parameters, 1), args, kwargs, slots);
        Access access = shared(self);
        const std::uint64_t frames = convert_parameter("input_frames", [&] { return convert_u64(slots[0]); });
        return check(PyLong_FromUnsignedLongLong(engine(record(self)).required_output_capacity(frames)));
    }

    // The caller's output buffer as a span of samples.
    static std::span<S> samples_of(const BufferView& view) {
        const Py_buffer& b = view.get();
        return {static_cast<S*>(b.buf), static_cast<std::size_t>(b.len / b.itemsize)};
    }

    [[noreturn]] static void raise_too_small(std::size_t room, std::uint64_t need, const std::string& why) {
        const std::string message = "output has room for " + std::to_string(room) + " samples, but " + why +
                                    " needs " + std::to_string(need);
        PyErr_SetString(PyExc_ValueError, message.c_str());
        throw_python_error();
    }

    // Copies everything undelivered to the caller's buffer.
    static ProcessStats copy_over(Record* r, const std::span<S> target, ProcessStats stats) {
        const std::vector<S>& out = *r->undelivered;
        if (out.size() > target.size()) unreachable("rendered output exceeds the caller's buffer");
        // Byte-wise: the caller's buffer need not be aligned for S.
        if (!out.empty()) std::memcpy(static_cast<void*>(target.data()), out.data(), out.size() * sizeof(S));
        stats.output_frames = out.size() / r->channels;
        delivered(r);
        return stats;
    }

    static PyObject* process_into(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[2];
        bind_arguments(description("process_into", process_into_parameters, 2), args, kwargs, slots);
        Access access = exclusive(self);
        Record* r = record(self);
        Core<S>& core = engine(r);
        std::vector<S> samples = convert_parameter("input", [&] { return Info::extract(slots[0]); });
        BufferView view = convert_parameter(
            "output", [&] { return output_buffer(slots[1], Info::format, sizeof(S), Info::sample_name); });
        const std::span<S> target = samples_of(view);
        std::vector<S>& out = undelivered(r);
        const std::uint64_t frames = samples.size() / r->channels;
        const std::uint64_t need = out.size() + core.required_output_capacity(frames);
        if (target.size() < need) {
            raise_too_small(target.size(), need,
                            "process_into (required_output_capacity(" + std::to_string(frames) + "))");
        }
        Result<ProcessStats> stats = core.process_append(samples, out);
        if (!stats) to_py_err(stats.error());
        return make_process_stats(copy_over(r, target, stats.value()));
    }

    static PyObject* finish_into(PyObject* self, PyObject* args, PyObject* kwargs) {
        PyObject* slots[1];
        bind_arguments(description("finish_into", finish_into_parameters, 1), args, kwargs, slots);
        Access access = exclusive(self);
        Record* r = record(self);
        Core<S>& core = engine(r);
        BufferView view = convert_parameter(
            "output", [&] { return output_buffer(slots[0], Info::format, sizeof(S), Info::sample_name); });
        const std::span<S> target = samples_of(view);
        std::vector<S>& out = undelivered(r);
        const std::uint64_t frames = core.pending_output_frames();
        const std::uint64_t need = out.size() + frames * r->channels;
        if (target.size() < need) {
            raise_too_small(target.size(), need,
                            "finish_into (" + std::to_string(frames) + " frames of " + std::to_string(r->channels) +
                                " channels)");
        }
        const ProcessStats stats = core.finish_append(out);
        return make_process_stats(copy_over(r, target, stats));
    }

    static PyObject* selected_backend(PyObject* self, void*) {
        Access access = shared(self);
        return check(PyUnicode_FromString(backend_name(engine(record(self)).backend())));
    }

    static PyObject* repr(PyObject* self) {
        Access access = shared(self);
        const std::string text = std::string(Info::name) + "(selected_backend=" +
                                 quote_text(backend_name(engine(record(self)).backend())) + ")";
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }

    static inline PyMethodDef methods[] = {
        {"process", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<process>::call)),
         METH_VARARGS | METH_KEYWORDS, Info::process_doc},
        {"finish", boundary<finish>::call, METH_NOARGS,
         "finish($self)\n--\n\nFinish the stream and return `(output, stats)`."},
        {"flush", boundary<finish>::call, METH_NOARGS, "flush($self)\n--\n\nAlias for `finish`."},
        {"reset", boundary<reset>::call, METH_NOARGS, "reset($self)\n--\n\n"},
        {"required_output_capacity",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<required_output_capacity>::call)),
         METH_VARARGS | METH_KEYWORDS, "required_output_capacity($self, input_frames)\n--\n\n"},
        {"process_into",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<process_into>::call)),
         METH_VARARGS | METH_KEYWORDS, Info::process_into_doc},
        {"finish_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<finish_into>::call)),
         METH_VARARGS | METH_KEYWORDS, Info::finish_into_doc},
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
        {Py_tp_doc, const_cast<char*>(Info::doc)},
        {0, nullptr},  // sentinel
    };

    static inline PyType_Spec spec = {
        Info::type_name,
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
    {"F32Resampler", get_f32_resampler},
    {"I16Resampler", get_i16_resampler},
    {"ProcessStats", get_process_stats},
};

}  // namespace

std::span<const ModuleClass> module_classes() { return classes; }

}  // namespace tenvira::python
