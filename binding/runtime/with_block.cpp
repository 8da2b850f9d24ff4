#include "runtime/with_block.hpp"

#include "runtime/class_builder.hpp"
#include "runtime/error_scope.hpp"

namespace ozu::py {
namespace {

// type(obj).<name> as the interpreter looks up special methods: the member itself when it is a
// method descriptor (a function, or a method of a built-in type), which is then called with obj as
// its first argument exactly as if it had been bound; otherwise the member bound to obj. `unbound`
// tells which. Empty without error when the type has no such member.
Handle lookup_special(PyObject* obj, PyObject* name, bool& unbound) {
    PyObject* attr = _PyType_Lookup(Py_TYPE(obj), name);  // borrowed
    unbound = false;
    if (!attr) return {};
    if (PyType_HasFeature(Py_TYPE(attr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        unbound = true;
        return borrow(attr);
    }
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (!get) return borrow(attr);
    return steal(get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

}  // namespace

WithBlock::~WithBlock() = default;

bool WithBlock::enter(PyObject* manager) {
    bool enter_unbound = false;
    Handle enter = lookup_special(manager, OZU_ID("__enter__"), enter_unbound);
    if (!enter) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(manager)->tp_name);
        return false;
    }
    bool exit_unbound = false;
    Handle exit = lookup_special(manager, OZU_ID("__exit__"), exit_unbound);
    if (!exit) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                         Py_TYPE(manager)->tp_name);
        return false;
    }
    PyObject* self[] = {manager};
    Handle entered = steal(enter_unbound ? PyObject_Vectorcall(enter.get(), self, 1, nullptr)
                                         : PyObject_CallNoArgs(enter.get()));
    if (!entered) return false;
    manager_ = borrow(manager);
    exit_ = std::move(exit);
    exit_unbound_ = exit_unbound;
    return true;
}

bool WithBlock::finish(bool body_ok) {
    Handle exit = std::move(exit_);
    Handle manager = std::move(manager_);
    if (!exit) return body_ok;
    // __exit__(type, value, traceback), with the manager in front when the member is unbound.
    auto call_exit = [&](PyObject* type, PyObject* value, PyObject* traceback) {
        PyObject* args[] = {manager.get(), type, value, traceback};
        return exit_unbound_ ? steal(PyObject_Vectorcall(exit.get(), args, 4, nullptr))
                             : steal(PyObject_Vectorcall(exit.get(), args + 1, 3, nullptr));
    };
    if (body_ok) return static_cast<bool>(call_exit(Py_None, Py_None, Py_None));
    ErrorScope body;
    body.normalize();
    Handle result = call_exit(body.type() ? body.type() : Py_None, body.value() ? body.value() : Py_None,
                              body.traceback() ? body.traceback() : Py_None);
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
