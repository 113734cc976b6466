#include "python/sample_array.hpp"

#include <cstdlib>
#include <new>

#include "base/memory.hpp"
#include "python/boundary.hpp"

namespace tenvira::python {

namespace {

// The record behind the arrays, with its samples right behind it in the same
// allocation (blocks of arrays that died serve the next ones: see
// take_spare). Its shape is set once,
// before the array is handed out.
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

Py_ssize_t byte_length(const PySampleArray* a) { return a->shape[0] * a->shape[1] * a->itemsize; }

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    PySampleArray* a = record(self);
    // Without a shape request, the samples are one run of bytes (they are
    // C-contiguous).
    const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
    view->obj = Py_NewRef(self);
    view->buf = a->data;
    view->len = byte_length(a);
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

// What a caller reads without going through a buffer: the shape and item
// description, the length in frames, and the samples as lists or bytes.
PyObject* get_shape(PyObject* self, void*) {
    const PySampleArray* a = record(self);
    return Py_BuildValue("(nn)", a->shape[0], a->shape[1]);
}
PyObject* get_ndim(PyObject*, void*) { return PyLong_FromLong(2); }
PyObject* get_format(PyObject* self, void*) { return PyUnicode_FromString(record(self)->format); }
PyObject* get_itemsize(PyObject* self, void*) { return PyLong_FromSsize_t(record(self)->itemsize); }
PyObject* get_nbytes(PyObject* self, void*) { return PyLong_FromSsize_t(byte_length(record(self))); }

Py_ssize_t length(PyObject* self) { return record(self)->shape[0]; }

PyObject* to_list(PyObject* self, PyObject*) {
    const PyRef view = check_ref(PyMemoryView_FromObject(self));
    return PyObject_CallMethod(view.get(), "tolist", nullptr);
}

PyObject* to_bytes(PyObject* self, PyObject*) {
    const PySampleArray* a = record(self);
    return PyBytes_FromStringAndSize(static_cast<const char*>(a->data), byte_length(a));
}

PyObject* repr(PyObject* self) {
    const PySampleArray* a = record(self);
    return PyUnicode_FromFormat("<tenvira sample array, shape (%zd, %zd), format '%s'>", a->shape[0], a->shape[1],
                                a->format);
}

// Where the samples start: past the record, 16-byte aligned like the block.
constexpr std::size_t data_offset = (sizeof(PySampleArray) + 15) / 16 * 16;

// Blocks of arrays that died, kept for the next ones: a stream handing out
// one array per chunk reuses the same few blocks instead of going through
// malloc and free every call. Small blocks only, a few of them; the
// interpreter lock guards the list (arrays are made and freed under it).
constexpr std::size_t spare_limit = 8;
constexpr std::size_t spare_bytes_limit = std::size_t{64} << 10;
void* spare_blocks[spare_limit];
std::size_t spare_count = 0;

std::size_t block_bytes(const PySampleArray* a) {
    return data_offset + a->capacity * static_cast<std::size_t>(a->itemsize);
}

// A spare block of at least `bytes` and not much more, or null.
void* take_spare(std::size_t bytes) {
    for (std::size_t i = spare_count; i-- > 0;) {
        const std::size_t size = block_bytes(static_cast<PySampleArray*>(spare_blocks[i]));
        if (size >= bytes && size <= 2 * bytes) {
            void* block = spare_blocks[i];
            spare_blocks[i] = spare_blocks[--spare_count];
            return block;
        }
    }
    return nullptr;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (spare_count < spare_limit && block_bytes(record(self)) <= spare_bytes_limit) {
        spare_blocks[spare_count++] = self;
    } else {
        PyObject_Free(self);
    }
    Py_DECREF(type);
}

PyGetSetDef array_getset[] = {
    {"shape", get_shape, nullptr, "(frames, channels)", nullptr},
    {"ndim", get_ndim, nullptr, "2", nullptr},
    {"format", get_format, nullptr, "The struct format of a sample: 'f' (float32) or 'h' (int16).", nullptr},
    {"itemsize", get_itemsize, nullptr, "Bytes per sample.", nullptr},
    {"nbytes", get_nbytes, nullptr, "Bytes of all samples.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyMethodDef array_methods[] = {
    {"tolist", to_list, METH_NOARGS, "The samples as a list of frames, each a list of channels."},
    {"tobytes", to_bytes, METH_NOARGS, "The samples' bytes, frame by frame."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot array_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(boundary<get_buffer>::call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_getset, array_getset},
    {Py_tp_methods, array_methods},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_doc, const_cast<char*>("Output samples of shape (frames, channels). It exports them through the buffer "
                                  "protocol: numpy.asarray(a) and memoryview(a) wrap them without a copy.")},
    {0, nullptr},  // sentinel
};

PyType_Spec array_spec = {
    "tenvira.SampleArray",
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
    const std::size_t size = data_offset + static_cast<std::size_t>(bytes);
    void* block = take_spare(size);
    const std::size_t room = block != nullptr ? block_bytes(static_cast<PySampleArray*>(block)) : size;
    if (block == nullptr) block = PyObject_Malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    PyObject* self = PyObject_Init(static_cast<PyObject*>(block), reinterpret_cast<PyTypeObject*>(array_type));
    PySampleArray* a = record(self);
    a->data = static_cast<unsigned char*>(block) + data_offset;
    a->capacity = (room - data_offset) / itemsize;
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

void shape_sample_array(PyObject* array, std::uint64_t frames, std::uint64_t channels) noexcept {
    PySampleArray* a = record(array);
    a->shape[0] = static_cast<Py_ssize_t>(frames);
    a->shape[1] = static_cast<Py_ssize_t>(channels);
    a->strides[1] = a->itemsize;
    a->strides[0] = a->itemsize * static_cast<Py_ssize_t>(channels);
}

}  // namespace tenvira::python
