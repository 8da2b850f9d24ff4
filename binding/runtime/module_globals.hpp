// Module-level names are looked up in the module's namespace at each use, so that a caller (or a
// test) can replace `_err`, `Queue`, `Thread`, `sleep`, `_random`, `pack`, ... after import.
#pragma once
#include "runtime/handle.hpp"

namespace ozu::py {

// Records the namespace of the extension module this runtime copy serves.
void set_module_dict(PyObject* dict) noexcept;
PyObject* module_dict() noexcept;

// The current value of a module-level name (borrowed), or null with NameError set.
PyObject* global(PyObject* name) noexcept;

// Calls a module-level name with positional arguments; returns the result or an empty handle.
Handle call_global(PyObject* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames = nullptr);

// `Name.member(self, *args, **kwargs)` with Name a module-level name (a base class), as a method
// calls its base's own method. args: a tuple or null; kwargs: a dict or null (empty = none).
Handle call_global_member(PyObject* name, PyObject* member, PyObject* self, PyObject* args = nullptr,
                          PyObject* kwargs = nullptr);

// `from module import name` semantics: the object, or empty with ImportError set.
Handle import_from(const char* module, const char* name);

}  // namespace ozu::py
