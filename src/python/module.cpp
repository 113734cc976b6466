// Module entry: the definition, its single execution step and the two
// module functions.
#include <cstddef>
#include <iterator>
#include <span>

#include "python/boundary.hpp"
#include "python/classes.hpp"
#include "base/config.hpp"

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

PyMethodDef module_functions[] = {
    {"quality_values", boundary<quality_values>::call, METH_NOARGS | METH_STATIC, "quality_values()\n--\n\n"},
    {"backend_values", boundary<backend_values>::call, METH_NOARGS | METH_STATIC, "backend_values()\n--\n\n"},
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

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "module execution step needs a module object");
        throw_python_error();
    }
    for (const ModuleClass& cls : module_classes()) {
        PyObject* type = cls.get();  // borrowed, cached for the process
        add_to_module(module, cls.name, type);
    }
    PyRef module_name = check_ref(PyModule_GetNameObject(module));
    for (PyMethodDef& def : module_functions) {
        PyRef function = check_ref(PyCFunction_NewEx(&def, module, module_name.get()));
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
    "tenvira",     // m_name
    "",            // m_doc
    0,             // m_size: no per-module state
    nullptr,       // m_methods: functions are added by the execution step
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

}  // namespace tenvira::python

extern "C" PyMODINIT_FUNC PyInit_tenvira(void) { return PyModuleDef_Init(&tenvira::python::module_def); }
