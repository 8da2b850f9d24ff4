#include "runtime/module_globals.hpp"

namespace ozu::py {
namespace {
PyObject* g_dict = nullptr;
}

void set_module_dict(PyObject* dict) noexcept { g_dict = dict; }
PyObject* module_dict() noexcept { return g_dict; }

PyObject* global(PyObject* name) noexcept {
    PyObject* value = g_dict ? PyDict_GetItemWithError(g_dict, name) : nullptr;
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

Handle call_global(PyObject* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* fn = global(name);
    if (!fn) return {};
    Handle keep = borrow(fn);  // the call may rebind the name
    return steal(PyObject_Vectorcall(fn, args, static_cast<size_t>(nargs), kwnames));
}

Handle import_from(const char* module, const char* name) {
    Handle mod = steal(PyImport_ImportModule(module));
    if (!mod) return {};
    Handle value = steal(PyObject_GetAttrString(mod.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return value;
}

}  // namespace ozu::py
