// Module entry: the definition, its single execution step and the two
// module functions.
#include <cstddef>
#include <span>

#include "base/config.hpp"
#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "python/messages.hpp"

namespace tenvira::python {

namespace {

PyObject* new_name_list(std::span<const char* const> names) {
    PyRef list = check_ref(PyList_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject* item = check(PyUnicode_FromString(names[i]));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

PyObject* quality_values(PyObject*, PyObject*) { return new_name_list(quality_names); }
PyObject* backend_values(PyObject*, PyObject*) { return new_name_list(backend_names); }

// The module functions, in the order the module lists them. They are bound
// one by one by the execution step (METH_STATIC rules out
// PyModule_AddFunctions), each under its own __name__.
PyMethodDef module_functions[] = {
    {"quality_values", boundary<quality_values>::call, METH_NOARGS | METH_STATIC, messages::quality_values_doc},
    {"backend_values", boundary<backend_values>::call, METH_NOARGS | METH_STATIC, messages::backend_values_doc},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

// Appends `name` to the module's __all__ (creating the list when there is
// none) and binds the attribute.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
        PyErr_Clear();
        all = check_ref(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    PyRef text = check_ref(PyUnicode_FromString(name));
    check_status(PyList_Append(all.get(), text.get()));
    check_status(PyObject_SetAttrString(module, name, value));
}

// The classes, then the functions, each added to the module and to __all__
// in table order.
int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, messages::not_a_module);
        throw_python_error();
    }
    for (const ModuleClass& cls : module_classes()) {
        PyObject* type = cls.get();  // borrowed, cached for the process
        add_to_module(module, cls.name, type);
    }
    PyRef module_name = check_ref(PyModule_GetNameObject(module));
    for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def) {
        PyRef function = check_ref(PyCFunction_NewEx(def, module, module_name.get()));
        PyRef name = check_ref(PyObject_GetAttrString(function.get(), "__name__"));
        const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
        if (text == nullptr) throw_python_error();
        add_to_module(module, text, function.get());
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(boundary<module_exec>::call)},
    {0, nullptr},  // sentinel
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    messages::module_name,  // m_name
    messages::module_doc,   // m_doc
    0,                      // m_size: no per-module state
    nullptr,                // m_methods: functions are added by the execution step
    module_slots,           // m_slots
    nullptr,                // m_traverse
    nullptr,                // m_clear
    nullptr,                // m_free
};

}  // namespace

}  // namespace tenvira::python

extern "C" PyMODINIT_FUNC PyInit_tenvira(void) { return PyModuleDef_Init(&tenvira::python::module_def); }
