// The one place that includes Python.h, with the stable ABI of CPython 3.11.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tenvira::python {

// Owned reference: move-only, released on scope exit.
class PyRef {
public:
    PyRef() noexcept = default;
    // Takes ownership of `owned` (which may be null).
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Releases the interpreter lock for its lifetime, when asked to, and takes
// it back before anything else happens on the way out, exceptions included.
// Nothing in its scope may touch a Python object.
class WithoutGil {
public:
    explicit WithoutGil(bool release) noexcept : saved_(release ? PyEval_SaveThread() : nullptr) {}
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;
    ~WithoutGil() {
        if (saved_ != nullptr) PyEval_RestoreThread(saved_);
    }

private:
    PyThreadState* saved_;
};

}  // namespace tenvira::python
