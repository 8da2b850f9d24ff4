#include "runtime/queue_get.hpp"

#include "runtime/class_builder.hpp"
#include "runtime/error_scope.hpp"
#include "runtime/module_globals.hpp"

namespace ozu::py {

Handle queue_get(PyObject* queue, PyObject* timeout, bool& timed_out) {
    timed_out = false;
    static PyObject* const kwnames = PyTuple_Pack(1, OZU_ID("timeout"));
    if (!kwnames) return steal(PyErr_NoMemory());
    // The slot before the object is the callee's to use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* args[] = {nullptr, queue, timeout};
    Handle item = steal(PyObject_VectorcallMethod(OZU_ID("get"), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    if (item) return item;
    ErrorScope waited;
    PyObject* empty = global(OZU_ID("Empty"));
    if (!empty) {
        waited.chain_into_current();
        return {};
    }
    if (waited.matches(empty)) {
        timed_out = true;
        return {};
    }
    waited.restore();
    return {};
}

}  // namespace ozu::py
