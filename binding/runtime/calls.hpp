// Calls of an object's own members, looked up on the object at the call so that derived classes
// and instance attributes take part.
#pragma once
#include "runtime/error_scope.hpp"
#include "runtime/handle.hpp"

namespace ozu::py {

// obj.<name>(args...)
template <typename... Args>
Handle call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* argv[] = {obj, args...};
    return steal(PyObject_VectorcallMethod(name, argv, sizeof...(Args) + 1, nullptr));
}

// Clean-up on an error path: runs `step` (which tests false when it failed) with the pending
// exception held aside. That exception stays the one being propagated; whatever the step raises
// is dropped.
template <typename Step>
void keeping_error(Step&& step) {
    ErrorGuard pending;
    if (!step()) PyErr_Clear();
}

}  // namespace ozu::py
