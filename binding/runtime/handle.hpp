// Owning reference to a Python object. Feature code never calls Py_DECREF itself.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace ozu::py {

class Handle {
public:
    Handle() noexcept = default;
    Handle(std::nullptr_t) noexcept {}
    Handle(Handle&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Py_XDECREF(obj_); }

    // Takes over a new reference (may be null: then the handle is empty and an error is set).
    static Handle steal(PyObject* obj) noexcept { return Handle(obj); }
    // Adds a reference to a borrowed object.
    static Handle borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Handle(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Gives the reference away, for returning to the interpreter.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    // A second owning reference to the same object.
    Handle copy() const noexcept { return borrow(obj_); }
    void reset() noexcept { Py_CLEAR(obj_); }

private:
    explicit Handle(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

inline Handle steal(PyObject* obj) noexcept { return Handle::steal(obj); }
inline Handle borrow(PyObject* obj) noexcept { return Handle::borrow(obj); }
inline Handle none() noexcept { return Handle::borrow(Py_None); }
inline Handle boolean(bool value) noexcept { return Handle::borrow(value ? Py_True : Py_False); }

// Releases the GIL for the scope. Nothing inside may touch Python objects.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

    // Takes the GIL back briefly to run pending signal handlers. False when one raised; its
    // exception is then pending.
    bool run_signal_handlers() noexcept {
        PyEval_RestoreThread(state_);
        const bool ok = PyErr_CheckSignals() == 0;
        state_ = PyEval_SaveThread();
        return ok;
    }

private:
    PyThreadState* state_;
};

}  // namespace ozu::py
