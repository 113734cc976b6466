#include "python/sample_array.hpp"

#include <cstdlib>
#include <new>

#include "base/memory.hpp"
#include "python/boundary.hpp"

namespace tenvira::python {

namespace {

// The record behind the arrays, with its samples right behind it in the same
// allocation (one allocation and one free per call). Its shape is set once,
// when the view is made.
struct PySampleArray {
    PyObject_HEAD
    void* data;
    std::size_t capacity;  // samples
    Py_ssize_t itemsize;
    char format[2];
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

PySampleArray* record(PyObject* self) { return reinterpret_cast<PySampleArray*>(self); }

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    PySampleArray* a = record(self);
    // Without a shape request, the samples are one run of bytes (they are
    // C-contiguous).
    const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
    view->obj = Py_NewRef(self);
    view->buf = a->data;
    view->len = a->shape[0] * a->shape[1] * a->itemsize;
    view->readonly = 0;
    view->itemsize = a->itemsize;
    view->format = (flags & PyBUF_FORMAT) != 0 ? a->format : nullptr;
    view->ndim = shaped ? 2 : 1;
    view->shape = shaped ? a->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? a->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

// Where the samples start: past the record, 16-byte aligned like the block.
constexpr std::size_t data_offset = (sizeof(PySampleArray) + 15) / 16 * 16;

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyType_Slot array_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(boundary<get_buffer>::call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},  // sentinel
};

PyType_Spec array_spec = {
    "tenvira.samples",
    sizeof(PySampleArray),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    array_slots,
};

PyObject* array_type = nullptr;

}  // namespace

PyRef new_sample_array(std::size_t capacity, std::size_t itemsize, char code) {
    if (array_type == nullptr) array_type = check(PyType_FromSpec(&array_spec));
    const std::uint64_t bytes = checked_byte_size(capacity, itemsize);
    if (bytes > PY_SSIZE_T_MAX - data_offset) throw std::bad_alloc();
    check_allocation(bytes);
    // Not tp_alloc: that would zero every sample only for them to be overwritten.
    void* block = PyObject_Malloc(data_offset + static_cast<std::size_t>(bytes));
    if (block == nullptr) throw std::bad_alloc();
    PyObject* self = PyObject_Init(static_cast<PyObject*>(block), reinterpret_cast<PyTypeObject*>(array_type));
    PySampleArray* a = record(self);
    a->data = static_cast<unsigned char*>(block) + data_offset;
    a->capacity = capacity;
    a->itemsize = static_cast<Py_ssize_t>(itemsize);
    a->format[0] = code;
    a->format[1] = '\0';
    a->shape[0] = 0;
    a->shape[1] = 1;
    a->strides[0] = a->strides[1] = a->itemsize;
    return PyRef(self);
}

std::span<unsigned char> sample_array_room(PyObject* array) noexcept {
    PySampleArray* a = record(array);
    return {static_cast<unsigned char*>(a->data), a->capacity * static_cast<std::size_t>(a->itemsize)};
}

PyRef sample_array_view(PyObject* array, std::uint64_t frames, std::uint64_t channels) {
    PySampleArray* a = record(array);
    a->shape[0] = static_cast<Py_ssize_t>(frames);
    a->shape[1] = static_cast<Py_ssize_t>(channels);
    a->strides[1] = a->itemsize;
    a->strides[0] = a->itemsize * static_cast<Py_ssize_t>(channels);
    return check_ref(PyMemoryView_FromObject(array));
}

}  // namespace tenvira::python
