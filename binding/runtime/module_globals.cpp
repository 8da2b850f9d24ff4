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

Handle call_global_member(PyObject* name, PyObject* member, PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* owner = global(name);
    if (!owner) return {};
    Handle fn = steal(PyObject_GetAttr(owner, member));
    if (!fn) return {};
    const Py_ssize_t n = args ? PyTuple_GET_SIZE(args) : 0;
    Handle all = steal(PyTuple_New(n + 1));
    if (!all) return {};
    PyTuple_SET_ITEM(all.get(), 0, Py_NewRef(self));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(all.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    const bool has_kwargs = kwargs && PyDict_GET_SIZE(kwargs) > 0;
    return steal(PyObject_Call(fn.get(), all.get(), has_kwargs ? kwargs : nullptr));
}

Handle import_from(const char* module, const char* name) {
    Handle mod = steal(PyImport_ImportModule(module));
    if (!mod) return {};
    Handle value = steal(PyObject_GetAttrString(mod.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // Worded and filled in as `from module import name` does it.
        PyErr_Clear();
        Handle module_name = steal(PyUnicode_FromString(module));
        if (!module_name) return {};
        Handle path = steal(PyModule_GetFilenameObject(mod.get()));
        if (!path) PyErr_Clear();
        Handle message = steal(path ? PyUnicode_FromFormat("cannot import name '%s' from '%s' (%S)", name, module,
                                                           path.get())
                                    : PyUnicode_FromFormat("cannot import name '%s' from '%s' (unknown location)",
                                                           name, module));
        if (message) PyErr_SetImportError(message.get(), module_name.get(), path ? path.get() : nullptr);
    }
    return value;
}

}  // namespace ozu::py
