#include "python/args.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <string>

#include "python/boundary.hpp"

namespace tenvira::python {

namespace {

// Pre-sizing from len() is capped so that a length that lies cannot demand a
// huge allocation; larger inputs still grow as they are read.
constexpr Py_ssize_t max_presize = Py_ssize_t{1} << 22;

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw_python_error();
}

std::string function_text(const FunctionDescription& d) {
    return std::string(d.class_name) + "." + d.function_name + "()";
}

std::string qualified_type_name(PyObject* object) {
    PyRef name(PyType_GetQualName(Py_TYPE(object)));
    if (!name) throw_python_error();
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) throw_python_error();
    return std::string(text, static_cast<std::size_t>(size));
}

// "'<qualified type name>' object is not an instance of '<what>'".
std::string not_an_instance(PyObject* object, const char* what) {
    std::string message = "'";
    message += qualified_type_name(object);
    message += "' object is not an instance of '";
    message += what;
    message += "'";
    return message;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string join_names(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

[[noreturn]] void raise_out_of_range() {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// An int read directly, anything else through __index__, as a C long.
long convert_long(PyObject* value) {
    long v = 0;
    if (PyLong_Check(value)) {
        v = PyLong_AsLong(value);
    } else {
        PyRef index = check_ref(PyNumber_Index(value));
        v = PyLong_AsLong(index.get());
    }
    if (v == -1 && PyErr_Occurred()) throw_python_error();
    return v;
}

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

// Fills `samples` from a plain numeric buffer. Returns false, leaving
// `samples` empty, when the input must take the general path instead.
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

// Exact lists and tuples are read by index. The length is checked before
// each item, as list iteration does, so an item whose conversion changes the
// list sees the same behaviour as iterating it.
template <typename S, typename Convert>
bool read_list_or_tuple(PyObject* input, std::vector<S>& out, Convert convert) {
    const bool list = PyList_CheckExact(input);
    if (!list && !PyTuple_CheckExact(input)) return false;
    const Py_ssize_t announced = list ? PyList_Size(input) : PyTuple_Size(input);
    out.reserve(static_cast<std::size_t>(std::min(announced, max_presize)));
    for (Py_ssize_t i = 0;; ++i) {
        const Py_ssize_t size = list ? PyList_Size(input) : announced;
        if (i >= size) break;
        PyObject* item = list ? PyList_GetItem(input, i) : PyTuple_GetItem(input, i);
        if (item == nullptr) throw_python_error();
        // The item is held while it converts: its conversion may run Python
        // code that drops the container's reference.
        PyRef held = PyRef::borrow(item);
        out.push_back(convert(item));
    }
    return true;
}

template <typename S, typename Convert>
std::vector<S> extract_samples(PyObject* input, Convert convert) {
    if (PyUnicode_Check(input)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(input)) {
        if (input == Py_None) raise(PyExc_TypeError, "'None' is not an instance of 'Sequence'");
        raise(PyExc_TypeError, not_an_instance(input, "Sequence"));
    }
    std::vector<S> samples;
    if (read_list_or_tuple(input, samples, convert)) return samples;
    if (read_plain_buffer(input, samples)) return samples;

    const Py_ssize_t announced = PyObject_Size(input);
    if (announced < 0) {
        PyErr_Clear();
    } else {
        samples.reserve(static_cast<std::size_t>(std::min(announced, max_presize)));
    }
    PyRef iterator = check_ref(PyObject_GetIter(input));
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        PyRef item(raw);
        samples.push_back(convert(item.get()));
    }
    if (PyErr_Occurred()) throw_python_error();
    return samples;
}

}  // namespace

void bind_arguments(const FunctionDescription& d, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
    const std::size_t count = d.parameters.size();
    std::fill(slots.begin(), slots.end(), nullptr);

    const Py_ssize_t given_signed = args != nullptr ? PyTuple_Size(args) : 0;
    if (given_signed < 0) throw_python_error();
    const auto given = static_cast<std::size_t>(given_signed);
    if (given > count) {
        const std::string verb = given == 1 ? "was" : "were";
        if (d.required != count) {
            raise(PyExc_TypeError, function_text(d) + " takes from " + std::to_string(d.required) + " to " +
                                       std::to_string(count) + " positional arguments but " + std::to_string(given) +
                                       " " + verb + " given");
        }
        raise(PyExc_TypeError, function_text(d) + " takes " + std::to_string(count) + " positional arguments but " +
                                   std::to_string(given) + " " + verb + " given");
    }
    for (std::size_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) raise(PyExc_TypeError, function_text(d) + " keywords must be strings");
            std::size_t index = count;
            for (std::size_t i = 0; i < count; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, d.parameters[i]) == 0) {
                    index = i;
                    break;
                }
            }
            if (index == count) {
                Py_ssize_t size = 0;
                const char* name = PyUnicode_AsUTF8AndSize(key, &size);
                if (name == nullptr) throw_python_error();
                raise(PyExc_TypeError, function_text(d) + " got an unexpected keyword argument '" +
                                           std::string(name, static_cast<std::size_t>(size)) + "'");
            }
            if (index < given) {
                raise(PyExc_TypeError,
                      function_text(d) + " got multiple values for argument '" + d.parameters[index] + "'");
            }
            slots[index] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < d.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(d.parameters[i]);
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, function_text(d) + " missing " + std::to_string(missing.size()) +
                                   " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                   join_names(missing));
    }
    for (std::size_t i = d.required; i < count; ++i) {
        if (slots[i] == Py_None) slots[i] = nullptr;
    }
}

std::uint32_t convert_u32(PyObject* value) {
    const long v = convert_long(value);
    if ((static_cast<unsigned long>(v) >> 32) != 0) raise_out_of_range();
    return static_cast<std::uint32_t>(v);
}

std::uint64_t convert_u64(PyObject* value) {
    unsigned long long v = 0;
    if (PyLong_Check(value)) {
        v = PyLong_AsUnsignedLongLong(value);
    } else {
        PyRef index = check_ref(PyNumber_Index(value));
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
    return v;
}

std::string_view convert_text(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        raise(PyExc_TypeError, not_an_instance(value, "str"));
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) throw_python_error();
    return {text, static_cast<std::size_t>(size)};
}

std::vector<float> extract_f32_samples(PyObject* input) {
    return extract_samples<float>(input, [](PyObject* item) {
        const double d = PyFloat_AsDouble(item);
        if (d == -1.0 && PyErr_Occurred()) throw_python_error();
        return static_cast<float>(d);
    });
}

std::vector<std::int16_t> extract_i16_samples(PyObject* input) {
    return extract_samples<std::int16_t>(input, [](PyObject* item) {
        const long v = convert_long(item);
        if (v < -32768 || v > 32767) raise_out_of_range();
        return static_cast<std::int16_t>(v);
    });
}

BufferView output_buffer(PyObject* output, char code, Py_ssize_t itemsize, const char* what) {
    Py_buffer raw;
    if (PyObject_GetBuffer(output, &raw, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
        throw_python_error();
    }
    BufferView view(raw);
    const char* format = raw.format != nullptr ? raw.format : "B";
    const char* plain = (*format == '@' || *format == '=' || *format == '<') ? format + 1 : format;
    if (plain[0] != code || plain[1] != '\0' || raw.itemsize != itemsize) {
        raise(PyExc_TypeError, std::string("output must be a writable buffer of ") + what + " samples (format '" +
                                   code + "'), not format '" + format + "'");
    }
    return view;
}

void add_note(const char* parameter) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        const std::string note = std::string("while processing '") + parameter + "'";
        PyRef result(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
        if (!result) PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace tenvira::python
