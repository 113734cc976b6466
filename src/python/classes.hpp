// The classes the module exposes, created once per process on first demand.
#pragma once

#include <span>

#include "python/py.hpp"

namespace tenvira::python {

struct ModuleClass {
    const char* name;
    // Returns the class object (borrowed; cached for the life of the process),
    // creating it on first demand; throws PythonError when creation fails.
    PyObject* (*get)();
};

// The classes in the order the module lists them.
std::span<const ModuleClass> module_classes();

}  // namespace tenvira::python
