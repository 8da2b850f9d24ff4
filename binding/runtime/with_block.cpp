#include "runtime/with_block.hpp"

#include "runtime/class_builder.hpp"
#include "runtime/error_scope.hpp"

namespace ozu::py {
namespace {

// type(obj).<name> bound to obj, as the interpreter looks up special methods; empty without error
// when the type has no such member.
Handle lookup_special(PyObject* obj, PyObject* name) {
    PyObject* attr = _PyType_Lookup(Py_TYPE(obj), name);  // borrowed
    if (!attr) return {};
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (!get) return borrow(attr);
    return steal(get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

}  // namespace

WithBlock::~WithBlock() = default;

bool WithBlock::enter(PyObject* manager) {
    Handle enter = lookup_special(manager, OZU_ID("__enter__"));
    if (!enter) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(manager)->tp_name);
        return false;
    }
    Handle exit = lookup_special(manager, OZU_ID("__exit__"));
    if (!exit) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                         Py_TYPE(manager)->tp_name);
        return false;
    }
    Handle entered = steal(PyObject_CallNoArgs(enter.get()));
    if (!entered) return false;
    manager_ = borrow(manager);
    exit_ = std::move(exit);
    return true;
}

bool WithBlock::finish(bool body_ok) {
    Handle exit = std::move(exit_);
    manager_.reset();
    if (!exit) return body_ok;
    if (body_ok) {
        PyObject* args[] = {Py_None, Py_None, Py_None};
        Handle result = steal(PyObject_Vectorcall(exit.get(), args, 3, nullptr));
        return static_cast<bool>(result);
    }
    ErrorScope body;
    body.normalize();
    PyObject* args[] = {body.type() ? body.type() : Py_None, body.value() ? body.value() : Py_None,
                        body.traceback() ? body.traceback() : Py_None};
    Handle result = steal(PyObject_Vectorcall(exit.get(), args, 3, nullptr));
    if (!result) {
        // The error of __exit__ replaces the body's, which becomes its context.
        body.chain_into_current();
        return false;
    }
    const int swallow = PyObject_IsTrue(result.get());
    if (swallow != 0) return swallow > 0;  // swallowed, or the truth test failed: the body's error is dropped
    body.restore();
    return false;
}

}  // namespace ozu::py
