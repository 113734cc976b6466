// The call boundary: every entry from Python runs behind it.
//
// Inside an entry, code signals a pending Python exception by throwing
// `PythonError`; internal faults arrive as `InternalFault`, allocation failure
// as `std::bad_alloc`. `boundary<Fn>::call` catches all of them and returns
// the slot's error value with the Python exception set, so that no C++
// exception ever crosses into the interpreter. Entries returning void are
// deallocators: they cannot raise, so their errors go to the unraisable hook.
#pragma once

#include <string>
#include <type_traits>

#include "python/py.hpp"

namespace tenvira::python {

// A Python exception is already set.
struct PythonError {};

// Throws `PythonError`; a Python exception must be set.
[[noreturn]] void throw_python_error();

// Returns `p`, or throws `PythonError` when it is null (exception set).
inline PyObject* check(PyObject* p) {
    if (p == nullptr) throw_python_error();
    return p;
}
inline PyRef check_ref(PyObject* p) { return PyRef(check(p)); }
inline int check_status(int status) {
    if (status < 0) throw_python_error();
    return status;
}

// The class of internal faults, created on first use. Null (with an
// exception set) only if it cannot be created.
PyObject* fault_exception_type() noexcept;

// Sets the Python exception for the C++ exception being handled.
void translate_current_exception() noexcept;

// Reports the C++ exception being handled through the unraisable hook.
void report_unraisable_current_exception(PyObject* context) noexcept;

template <auto Fn>
struct boundary;

template <typename R, typename... A, R (*Fn)(A...)>
struct boundary<Fn> {
    static R call(A... args) noexcept {
        try {
            return Fn(args...);
        } catch (...) {
            if constexpr (std::is_void_v<R>) {
                report_unraisable_current_exception(nullptr);
            } else {
                translate_current_exception();
                if constexpr (std::is_pointer_v<R>) {
                    return nullptr;
                } else {
                    return static_cast<R>(-1);
                }
            }
        }
    }
};

}  // namespace tenvira::python
