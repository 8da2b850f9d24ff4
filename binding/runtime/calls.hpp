// Calls of an object's own members, looked up on the object at the call so that derived classes
// and instance attributes take part.
#pragma once
#include "runtime/handle.hpp"

namespace ozu::py {

// obj.<name>(args...)
template <typename... Args>
Handle call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* argv[] = {obj, args...};
    return steal(PyObject_VectorcallMethod(name, argv, sizeof...(Args) + 1, nullptr));
}

}  // namespace ozu::py
