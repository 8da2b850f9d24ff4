// Core errors as Python exceptions: OSError(errno, "<reason>: <port name>"), which the interpreter
// turns into the matching subclass (FileNotFoundError, PermissionError, TimeoutError, ...).
#include "brix.hpp"

#include <cerrno>

namespace ozu::brix {

PyObject* PortClosedError = nullptr;

PyObject* raise_io_error(const ozu::serial::IoError& err, const std::string& port_name) {
    using ozu::serial::ErrorKind;
    std::string text = err.message + ": " + port_name;
    py::Handle message = py::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) return nullptr;
    PyObject* type = err.kind == ErrorKind::PortClosed ? PortClosedError : PyExc_OSError;
    py::Handle exc;
#ifdef _WIN32
    if (err.win32_code)  // the interpreter derives errno (and the subclass) from winerror
        exc = py::steal(PyObject_CallFunction(type, "iOOi", 0, message.get(), Py_None, err.code));
    else
#endif
        exc = py::steal(PyObject_CallFunction(type, "iO", err.code, message.get()));
    if (!exc) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

}  // namespace ozu::brix
