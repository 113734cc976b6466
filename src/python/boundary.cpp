#include "python/boundary.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "base/fault.hpp"
#include "python/messages.hpp"

namespace tenvira::python {

namespace {

PyObject* fault_type = nullptr;

void raise_fault(const char* message) noexcept {
    PyObject* type = fault_exception_type();
    if (type == nullptr) {
        // The class itself could not be made: keep the message at least.
        PyErr_Clear();
        PyErr_SetString(PyExc_SystemError, message);
        return;
    }
    PyErr_SetString(type, message);
}

}  // namespace

void throw_python_error() { throw PythonError{}; }

PyObject* fault_exception_type() noexcept {
    // The interpreter lock serialises callers, so a plain pointer suffices.
    if (fault_type == nullptr) {
        fault_type = PyErr_NewExceptionWithDoc(messages::fault_type_name, messages::fault_doc, PyExc_BaseException,
                                               nullptr);
    }
    return fault_type;
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, messages::no_exception_set);
        }
    } catch (const InternalFault& fault) {
        raise_fault(fault.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_fault(messages::internal_error(e.what()).c_str());
    } catch (...) {
        raise_fault(messages::unknown_cpp_exception);
    }
}

void report_unraisable_current_exception(PyObject* context) noexcept {
    // Deallocation may run while another exception is pending; keep it.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    translate_current_exception();
    PyErr_WriteUnraisable(context);
    PyErr_Restore(type, value, traceback);
}

}  // namespace tenvira::python
