#include "python/buffers.hpp"

#include <cstdint>
#include <string>
#include <type_traits>

#include "python/messages.hpp"
#include "python/numeric.hpp"

namespace tenvira::python {

namespace {

// Exact types whose buffer holds the same values that iterating them yields.
// Subclasses may iterate differently and take the general path.
bool has_plain_buffer(PyObject* input) {
    static PyObject* array_type = nullptr;
    static PyObject* ndarray_type = nullptr;
    PyTypeObject* type = Py_TYPE(input);
    if (PyBytes_CheckExact(input) || PyByteArray_CheckExact(input) || PyMemoryView_Check(input)) {
        return type == &PyBytes_Type || type == &PyByteArray_Type || type == &PyMemoryView_Type;
    }
    if (array_type == nullptr) {
        PyRef module(PyImport_ImportModule("array"));
        if (module) array_type = PyObject_GetAttrString(module.get(), "array");
        if (array_type == nullptr) PyErr_Clear();
    }
    if (array_type != nullptr && reinterpret_cast<PyObject*>(type) == array_type) return true;
    if (ndarray_type == nullptr) {
        // Only an ndarray from an already imported numpy; never import it.
        PyRef name(PyUnicode_FromString("numpy"));
        PyRef numpy(name ? PyImport_GetModule(name.get()) : nullptr);
        if (numpy) ndarray_type = PyObject_GetAttrString(numpy.get(), "ndarray");
        if (PyErr_Occurred()) PyErr_Clear();
    }
    return ndarray_type != nullptr && reinterpret_cast<PyObject*>(type) == ndarray_type;
}

}  // namespace

template <typename S>
bool read_plain_buffer(PyObject* input, std::vector<S>& out) {
    if (!has_plain_buffer(input)) return false;
    Py_buffer raw;
    if (PyObject_GetBuffer(input, &raw, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear();
        return false;
    }
    BufferView view(raw);
    const Py_buffer& v = view.get();
    if (v.ndim != 1 || v.itemsize <= 0) return false;
    NumericItems items;
    items.base = static_cast<const unsigned char*>(v.buf);
    items.type = item_type(v.format, static_cast<std::size_t>(v.itemsize));
    if (items.type.element == Element::None) return false;
    items.rows = static_cast<std::size_t>(v.len / v.itemsize);
    items.row_stride = v.itemsize;
    // An item that is not an int16 value: iterating raises the exact error.
    if (std::is_same_v<S, std::int16_t> && first_non_i16(items)) return false;
    out.resize(items.count());
    convert_items(items, 0, items.count(), out.data());
    return true;
}

template bool read_plain_buffer<float>(PyObject* input, std::vector<float>& out);
template bool read_plain_buffer<std::int16_t>(PyObject* input, std::vector<std::int16_t>& out);

BufferView output_buffer(PyObject* output, char code, Py_ssize_t itemsize, const char* sample_name) {
    Py_buffer raw;
    if (PyObject_GetBuffer(output, &raw, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
        throw_python_error();
    }
    BufferView view(raw);
    const char* format = raw.format != nullptr ? raw.format : "B";
    const char* plain = (*format == '@' || *format == '=' || *format == '<') ? format + 1 : format;
    if (plain[0] != code || plain[1] != '\0' || raw.itemsize != itemsize) {
        PyErr_SetString(PyExc_TypeError, messages::wrong_output_format(sample_name, code, format).c_str());
        throw_python_error();
    }
    return view;
}

}  // namespace tenvira::python
