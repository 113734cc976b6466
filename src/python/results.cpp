#include "python/results.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "base/fault.hpp"
#include "python/boundary.hpp"
#include "python/messages.hpp"

namespace tenvira::python {

namespace {

// Instance record behind ProcessStats. Immutable after construction.
struct PyProcessStats {
    PyObject_HEAD
    std::uint64_t input_frames;
    std::uint64_t output_frames;
    char backend[16];  // this call's copy of the display name, NUL-terminated
};

PyObject* stats_input_frames(PyObject* self, void*) {
    return check(PyLong_FromUnsignedLongLong(reinterpret_cast<PyProcessStats*>(self)->input_frames));
}

PyObject* stats_output_frames(PyObject* self, void*) {
    return check(PyLong_FromUnsignedLongLong(reinterpret_cast<PyProcessStats*>(self)->output_frames));
}

PyObject* stats_backend(PyObject* self, void*) {
    return check(PyUnicode_FromString(reinterpret_cast<PyProcessStats*>(self)->backend));
}

PyObject* stats_repr(PyObject* self) {
    const auto* s = reinterpret_cast<PyProcessStats*>(self);
    const std::string text = messages::stats_repr(s->input_frames, s->output_frames, s->backend);
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* stats_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, messages::stats_cannot_create);
    throw_python_error();
}

void stats_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyGetSetDef stats_getset[] = {
    {"input_frames", boundary<stats_input_frames>::call, nullptr, nullptr, nullptr},
    {"output_frames", boundary<stats_output_frames>::call, nullptr, nullptr, nullptr},
    {"backend", boundary<stats_backend>::call, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot stats_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(boundary<stats_new>::call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stats_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(boundary<stats_repr>::call)},
    {Py_tp_getset, stats_getset},
    {0, nullptr},  // sentinel
};

PyType_Spec stats_spec = {
    messages::stats_type_name,
    sizeof(PyProcessStats),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    stats_slots,
};

PyObject* stats_type = nullptr;

template <typename S, typename Item>
PyRef build_list(std::span<const S> samples, Item make_item) {
    PyRef list = check_ref(PyList_New(static_cast<Py_ssize_t>(samples.size())));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), check(make_item(samples[i])));  // steals the item
    }
    return list;
}

}  // namespace

PyObject* process_stats_type() {
    if (stats_type == nullptr) stats_type = check(PyType_FromSpec(&stats_spec));
    return stats_type;
}

PyRef new_process_stats() {
    PyObject* type = nullptr;
    try {
        type = process_stats_type();
    } catch (const PythonError&) {
        PyErr_WriteUnraisable(nullptr);
        fault(messages::stats_type_failed);
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
    return check_ref(alloc(reinterpret_cast<PyTypeObject*>(type), 0));
}

void fill_process_stats(PyObject* record, const ProcessStats& stats) noexcept {
    auto* r = reinterpret_cast<PyProcessStats*>(record);
    r->input_frames = stats.input_frames;
    r->output_frames = stats.output_frames;
    // A plain copy: formatting through snprintf cost more than a short call's engine work.
    const std::string_view name = stats.backend_name();
    const std::size_t n = std::min(name.size(), sizeof r->backend - 1);
    std::memcpy(r->backend, name.data(), n);
    r->backend[n] = '\0';
}

PyRef sample_list(std::span<const float> samples) {
    return build_list(samples, [](float x) { return PyFloat_FromDouble(static_cast<double>(x)); });
}

PyRef sample_list(std::span<const std::int16_t> samples) {
    return build_list(samples, [](std::int16_t x) { return PyLong_FromLong(x); });
}

}  // namespace tenvira::python
