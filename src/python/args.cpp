#include "python/args.hpp"

#include <algorithm>
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

template <typename S, typename Convert>
std::vector<S> extract_samples(PyObject* input, Convert convert) {
    if (PyUnicode_Check(input)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(input)) {
        if (input == Py_None) raise(PyExc_TypeError, "'None' is not an instance of 'Sequence'");
        raise(PyExc_TypeError, not_an_instance(input, "Sequence"));
    }
    std::vector<S> samples;
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
