// The pending exception held aside while clean-up code runs, then put back, chained under a new
// one, or handed over as an object. The references are owned: whatever is not put back or handed
// over is released with the scope.
#pragma once
#include "runtime/handle.hpp"

namespace ozu::py {

class ErrorScope {
public:
    // Takes the pending exception (if any) and clears it.
    ErrorScope() noexcept {
        PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
        PyErr_Fetch(&type, &value, &tb);
        type_ = steal(type);
        value_ = steal(value);
        tb_ = steal(tb);
    }
    ErrorScope(const ErrorScope&) = delete;
    ErrorScope& operator=(const ErrorScope&) = delete;

    bool empty() const noexcept { return !type_; }
    PyObject* type() const noexcept { return type_.get(); }
    // The parts as held (borrowed; null where there is none). After normalize(), value() is the
    // exception object and carries traceback().
    PyObject* value() const noexcept { return value_.get(); }
    PyObject* traceback() const noexcept { return tb_.get(); }
    // Whether it is an instance of the exception class (or tuple of classes) `exc`.
    bool matches(PyObject* exc) const noexcept { return type_ && PyErr_GivenExceptionMatches(type_.get(), exc); }

    // Puts it back as the pending exception, unchanged.
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), tb_.release()); }

    // Records it as the __context__ of the exception now pending (as an except or finally clause
    // does when it raises), and drops it. Nothing happens when it is empty.
    void chain_into_current() noexcept {
        Handle held = take();
        if (!held) return;
        ErrorScope current;
        current.normalize();
        if (current.value_ && current.value_.get() != held.get())
            PyException_SetContext(current.value_.get(), held.release());
        current.restore();
    }

    // The exception object, normalised, with its traceback; the scope is empty afterwards.
    Handle take() noexcept {
        if (!type_) return {};
        normalize();
        type_.reset();
        tb_.reset();
        return std::move(value_);
    }

    // Makes the value an instance of the type, as an except clause sees it, with its traceback.
    void normalize() noexcept {
        if (!type_) return;
        PyObject* type = type_.release();
        PyObject* value = value_.release();
        PyObject* tb = tb_.release();
        PyErr_NormalizeException(&type, &value, &tb);
        if (value && tb) PyException_SetTraceback(value, tb);
        type_ = steal(type);
        value_ = steal(value);
        tb_ = steal(tb);
    }

private:
    Handle type_, value_, tb_;
};

// Holds the pending exception for the scope and puts it back when the scope ends, so that clean-up
// code that calls into Python can neither lose nor replace the error being propagated.
class ErrorGuard : public ErrorScope {
public:
    // A thread that unwinds without the GIL (ended by the interpreter at exit) leaves it alone.
    ~ErrorGuard() {
        if (holds_gil()) restore();
    }
    bool had_error() const noexcept { return !empty(); }
};

}  // namespace ozu::py
