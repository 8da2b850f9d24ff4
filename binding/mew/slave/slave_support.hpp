// Helpers shared by the station classes: calls of the object's own members, and the station side's
// diagnostic lines (standard output).
#pragma once
#include "runtime/class_builder.hpp"
#include "runtime/function.hpp"
#include "runtime/module_globals.hpp"

namespace ozu::mew::slave {

using py::Handle;

// self.<name>(args...), the member looked up on the object at the call.
template <typename... Args>
Handle call_method(PyObject* self, PyObject* name, Args... args) {
    PyObject* argv[] = {self, args...};
    return py::steal(PyObject_VectorcallMethod(name, argv, sizeof...(Args) + 1, nullptr));
}

// print(format % (args...)): one line on standard output. None, or null with an exception set.
template <typename... Args>
PyObject* print_formatted(const char* format, Args... args) {
    Handle fmt = py::steal(PyUnicode_FromString(format));
    if (!fmt) return nullptr;
    Handle values = py::steal(PyTuple_Pack(sizeof...(Args), args...));
    if (!values) return nullptr;
    Handle text = py::steal(PyUnicode_Format(fmt.get(), values.get()));
    if (!text || !py::print_line(text.get())) return nullptr;
    Py_RETURN_NONE;
}

// Prints prefix + str(exc) as one line on standard output. Returns false if that failed.
bool report_unexpected(PyObject* exc);

}  // namespace ozu::mew::slave
