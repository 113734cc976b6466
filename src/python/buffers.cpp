#include "python/buffers.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "python/messages.hpp"

namespace tenvira::python {

namespace {

// Element formats read straight from a buffer. Sizes come from the view's
// itemsize, so native and standard-size codes read alike.
enum class Element : std::uint8_t { None, Signed, Unsigned, Float };

struct BufferLayout {
    Element element = Element::None;
    Py_ssize_t itemsize = 0;
};

BufferLayout parse_format(const char* format, Py_ssize_t itemsize) {
    if (format == nullptr) return {Element::Unsigned, itemsize == 1 ? 1 : 0};  // plain bytes
    if (*format == '@' || *format == '=' || *format == '<') ++format;  // this host is little-endian
    if (format[0] == '\0' || format[1] != '\0') return {};
    switch (format[0]) {
        case 'b': case 'h': case 'i': case 'l': case 'q':
            if (itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8) return {Element::Signed, itemsize};
            return {};
        case 'B': case 'H': case 'I': case 'L': case 'Q':
            if (itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8) return {Element::Unsigned, itemsize};
            return {};
        case 'f':
            return itemsize == 4 ? BufferLayout{Element::Float, 4} : BufferLayout{};
        case 'd':
            return itemsize == 8 ? BufferLayout{Element::Float, 8} : BufferLayout{};
        default:
            return {};
    }
}

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

// Buffers may place their items at any address: read them byte-wise.
template <typename T>
T load(const unsigned char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// A float32 value as float() of the item and the narrowing back give it:
// unchanged, except that a signalling NaN comes back quiet.
float quieted(float x) {
    auto bits = std::bit_cast<std::uint32_t>(x);
    if ((bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu) != 0) bits |= 0x00400000u;
    return std::bit_cast<float>(bits);
}

// Reads element i of a buffer as the double that Python's float() of the
// item gives: integers are converted with correct rounding, float32 values
// exactly.
double element_as_double(const void* data, std::size_t i, BufferLayout layout) {
    const auto* p = static_cast<const unsigned char*>(data) + i * static_cast<std::size_t>(layout.itemsize);
    switch (layout.element) {
        case Element::Signed:
            switch (layout.itemsize) {
                case 1: return static_cast<double>(load<std::int8_t>(p));
                case 2: return static_cast<double>(load<std::int16_t>(p));
                case 4: return static_cast<double>(load<std::int32_t>(p));
                default: return static_cast<double>(load<std::int64_t>(p));
            }
        case Element::Unsigned:
            switch (layout.itemsize) {
                case 1: return static_cast<double>(*p);
                case 2: return static_cast<double>(load<std::uint16_t>(p));
                case 4: return static_cast<double>(load<std::uint32_t>(p));
                default: return static_cast<double>(load<std::uint64_t>(p));
            }
        case Element::Float:
            if (layout.itemsize == 4) return static_cast<double>(load<float>(p));
            return load<double>(p);
        case Element::None:
            break;
    }
    return 0.0;
}

// Element i as an integer when it fits int16, else nullopt (the general path
// then raises exactly what iterating would raise).
std::optional<std::int16_t> element_as_i16(const void* data, std::size_t i, BufferLayout layout) {
    const auto* p = static_cast<const unsigned char*>(data) + i * static_cast<std::size_t>(layout.itemsize);
    std::int64_t v = 0;
    if (layout.element == Element::Signed) {
        switch (layout.itemsize) {
            case 1: v = load<std::int8_t>(p); break;
            case 2: return load<std::int16_t>(p);
            case 4: v = load<std::int32_t>(p); break;
            default: v = load<std::int64_t>(p); break;
        }
    } else {
        std::uint64_t u = 0;
        switch (layout.itemsize) {
            case 1: u = *p; break;
            case 2: u = load<std::uint16_t>(p); break;
            case 4: u = load<std::uint32_t>(p); break;
            default: u = load<std::uint64_t>(p); break;
        }
        if (u > 32767) return std::nullopt;
        v = static_cast<std::int64_t>(u);
    }
    if (v < -32768 || v > 32767) return std::nullopt;
    return static_cast<std::int16_t>(v);
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
    const BufferLayout layout = parse_format(v.format, v.itemsize);
    if (layout.element == Element::None || layout.itemsize != v.itemsize) return false;
    const auto n = static_cast<std::size_t>(v.len / v.itemsize);
    if constexpr (std::is_same_v<S, float>) {
        out.resize(n);
        if (layout.element == Element::Float && layout.itemsize == 4) {
            const auto* in = static_cast<const unsigned char*>(v.buf);
            for (std::size_t i = 0; i < n; ++i) out[i] = quieted(load<float>(in + 4 * i));
        } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(element_as_double(v.buf, i, layout));
        }
    } else {
        if (layout.element == Element::Float) return false;  // iterating raises TypeError on the first item
        out.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::optional<std::int16_t> x = element_as_i16(v.buf, i, layout);
            if (!x) {
                out.clear();
                return false;
            }
            out[i] = *x;
        }
    }
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
