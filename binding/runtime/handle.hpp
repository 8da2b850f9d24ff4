// Owning reference to a Python object. Feature code never calls Py_DECREF itself.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace ozu::py {

// Whether the calling thread holds the GIL (has a current thread state). While the interpreter
// finalises, a daemon thread that asks for the GIL back is ended by the interpreter, and the C++
// frames it is unwound through run their destructors without the GIL: those must then leave every
// object alone. The interpreter is going away, so what they held is simply not released.
inline bool holds_gil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// PyEval_RestoreThread for our own waits. A daemon thread that comes back from a wait while the
// interpreter finalises is ended with pthread_exit, whose forced unwind would cross noexcept frames
// (std::terminate) and code that expects the GIL. Such a thread stays here instead until the
// process exits, as later interpreters do themselves.
inline void restore_thread(PyThreadState* state) noexcept {
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
#else
    PyEval_RestoreThread(state);
#endif
}

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
    ~Handle() {
        if (obj_ && holds_gil()) Py_DECREF(obj_);
    }

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

// Whether the weak reference `ref` still refers to `obj` (compared by identity only).
inline bool weakly_refers_to(PyObject* ref, PyObject* obj) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(ref, &target) < 0) {
        PyErr_Clear();
        return false;
    }
    const bool same = target == obj;
    Py_XDECREF(target);
    return same;
#else
    return PyWeakref_GetObject(ref) == obj;
#endif
}

// Releases the GIL for the scope. Nothing inside may touch Python objects.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    // Keeps the GIL until release(): for work that often finishes without waiting (bytes already
    // buffered), where handing the GIL to another thread and queueing for it again would cost more
    // than the work itself.
    explicit GilRelease(std::defer_lock_t) noexcept {}
    ~GilRelease() {
        if (state_) restore_thread(state_);
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

    // Lets go of the GIL, if this scope still holds it; from here on nothing may touch Python objects.
    void release() noexcept {
        if (!state_) state_ = PyEval_SaveThread();
    }
    bool released() const noexcept { return state_ != nullptr; }

    // Takes the GIL back for the call f() and releases it again; returns what f returns. Before
    // release() the GIL is held already and f() simply runs.
    template <class F>
    auto with_gil(F&& f) {
        if (!state_) return f();
        restore_thread(state_);
        auto result = f();
        state_ = PyEval_SaveThread();
        return result;
    }

    // Takes the GIL back briefly to run pending signal handlers. False when one raised; its
    // exception is then pending.
    bool run_signal_handlers() {
        return with_gil([] { return PyErr_CheckSignals() == 0; });
    }

private:
    PyThreadState* state_ = nullptr;
};

}  // namespace ozu::py
