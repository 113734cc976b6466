#include "python/sample_input.hpp"

#include <cstring>
#include <string>
#include <type_traits>

#include "python/args.hpp"
#include "python/messages.hpp"

namespace tenvira::python {

namespace {

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw_python_error();
}

std::vector<std::int64_t> shape_of(const Py_buffer& v) {
    return std::vector<std::int64_t>(v.shape, v.shape + v.ndim);
}

template <typename S>
std::vector<S> read_items(PyObject* input) {
    if constexpr (std::is_same_v<S, float>) {
        return extract_f32_samples(input);
    } else {
        return extract_i16_samples(input);
    }
}

template <typename S>
constexpr ItemType own_type() {
    return std::is_same_v<S, float> ? ItemType{Element::Float, 4} : ItemType{Element::Signed, 2};
}

// Raises the error that reading item `index` on its own raises: the item is
// taken from the input as Python takes it (a numpy scalar from an array, for
// example) and converted like every item of a sequence.
[[noreturn]] void raise_item_error(PyObject* input, const Py_buffer& v, std::size_t index) {
    PyRef item;
    if (v.ndim == 1) {
        item = check_ref(PySequence_GetItem(input, static_cast<Py_ssize_t>(index)));
    } else {
        const auto cols = static_cast<std::size_t>(v.shape[1]);
        PyRef key = check_ref(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(index / cols),
                                            static_cast<Py_ssize_t>(index % cols)));
        item = check_ref(PyObject_GetItem(input, key.get()));
    }
    i16_item(item.get());
    raise(PyExc_OverflowError, messages::out_of_range);  // the item converted after all
}

}  // namespace

template <typename S>
SampleInput<S>::SampleInput(PyObject* input, std::uint64_t channels) {
    Py_buffer raw;
    if (PyUnicode_Check(input) || !PyObject_CheckBuffer(input) ||
        PyObject_GetBuffer(input, &raw, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        listed_ = read_items<S>(input);
        return;
    }
    view_.emplace(raw);
    const Py_buffer& v = view_->get();
    if (v.ndim > 2 || (v.ndim == 2 && static_cast<std::uint64_t>(v.shape[1]) != channels)) {
        raise(PyExc_ValueError, messages::wrong_shape("input", shape_of(v), channels));
    }
    items_.type = item_type(v.format, static_cast<std::size_t>(v.itemsize));
    if (v.ndim == 0 || (items_.type.element == Element::None && v.ndim == 1)) {
        // Not an array of plain numbers: the items one by one, as process reads them.
        view_.reset();
        listed_ = read_items<S>(input);
        return;
    }
    if (items_.type.element == Element::None) raise(PyExc_TypeError, messages::unreadable_format(v.format));
    items_.base = static_cast<const unsigned char*>(v.buf);
    items_.rows = static_cast<std::size_t>(v.shape[0]);
    items_.row_stride = v.strides[0];
    if (v.ndim == 2) {
        items_.cols = static_cast<std::size_t>(v.shape[1]);
        items_.col_stride = v.strides[1];
    }
    if constexpr (std::is_same_v<S, std::int16_t>) {
        if (const auto bad = first_non_i16(items_)) raise_item_error(input, v, *bad);
    }
    const ItemType own = own_type<S>();
    direct_ = items_.type.element == own.element && items_.type.size == own.size && items_.contiguous() &&
              reinterpret_cast<std::uintptr_t>(items_.base) % alignof(S) == 0;
}

template <typename S>
std::span<const S> SampleInput<S>::block(std::uint64_t first, std::uint64_t count, std::vector<S>& scratch) const {
    if (listed_) return {listed_->data() + first, static_cast<std::size_t>(count)};
    if (direct_) {
        const S* at = reinterpret_cast<const S*>(items_.base) + first;
        if constexpr (std::is_same_v<S, float>) {
            if (!has_signalling_nan(at, static_cast<std::size_t>(count))) return {at, static_cast<std::size_t>(count)};
        } else {
            return {at, static_cast<std::size_t>(count)};
        }
    }
    if (scratch.size() < count) scratch.resize(static_cast<std::size_t>(count));
    convert_items(items_, static_cast<std::size_t>(first), static_cast<std::size_t>(count), scratch.data());
    return {scratch.data(), static_cast<std::size_t>(count)};
}

template class SampleInput<float>;
template class SampleInput<std::int16_t>;

}  // namespace tenvira::python
