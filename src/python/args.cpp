#include "python/args.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "python/boundary.hpp"
#include "python/buffers.hpp"
#include "python/messages.hpp"

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

[[noreturn]] void raise_out_of_range() {
    raise(PyExc_OverflowError, messages::out_of_range);
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
    if (PyUnicode_Check(input)) raise(PyExc_TypeError, messages::str_is_not_samples);
    if (!PySequence_Check(input)) {
        if (input == Py_None) raise(PyExc_TypeError, messages::none_is_not_a_sequence);
        raise(PyExc_TypeError, messages::not_an_instance(qualified_type_name(input), "Sequence"));
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
        raise(PyExc_TypeError, messages::too_many_positional(function_text(d), d.required, count, given));
    }
    for (std::size_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) raise(PyExc_TypeError, messages::keywords_must_be_strings(function_text(d)));
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
                raise(PyExc_TypeError, messages::unexpected_keyword(function_text(d),
                                                                    std::string_view(name, static_cast<std::size_t>(size))));
            }
            if (index < given) {
                raise(PyExc_TypeError, messages::multiple_values(function_text(d), d.parameters[index]));
            }
            slots[index] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < d.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(d.parameters[i]);
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, messages::missing_required(function_text(d), missing));
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
        raise(PyExc_TypeError, messages::not_an_instance(qualified_type_name(value), "str"));
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) throw_python_error();
    return {text, static_cast<std::size_t>(size)};
}

float f32_item(PyObject* item) {
    const double d = PyFloat_AsDouble(item);
    if (d == -1.0 && PyErr_Occurred()) throw_python_error();
    return static_cast<float>(d);
}

std::int16_t i16_item(PyObject* item) {
    const long v = convert_long(item);
    if (v < -32768 || v > 32767) raise_out_of_range();
    return static_cast<std::int16_t>(v);
}

std::vector<float> extract_f32_samples(PyObject* input) { return extract_samples<float>(input, f32_item); }

std::vector<std::int16_t> extract_i16_samples(PyObject* input) {
    return extract_samples<std::int16_t>(input, i16_item);
}

void add_note(const char* parameter) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        const std::string note = messages::while_processing(parameter);
        PyRef result(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
        if (!result) PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace tenvira::python
