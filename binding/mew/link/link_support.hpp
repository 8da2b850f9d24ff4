// Small pieces shared by the link engine and the master: `with` blocks over the module's locks,
// the port text of messages, and raising the line errors.
#pragma once
#include "runtime/handle.hpp"

namespace ozu::mew::link {

using py::Handle;

// The statement `with manager:` around a stretch of C++ code. enter() calls __enter__; finish()
// calls __exit__ with the pending exception (or three Nones) and applies its verdict, as the
// interpreter does: a true result swallows the exception, an error from __exit__ replaces it.
class WithBlock {
public:
    WithBlock() = default;
    WithBlock(const WithBlock&) = delete;
    WithBlock& operator=(const WithBlock&) = delete;
    ~WithBlock();

    // False with an exception set when the manager cannot be entered.
    bool enter(PyObject* manager);
    // body_ok: the body ended without an exception. Returns true when the block ends normally
    // (also when __exit__ swallowed the body's exception), false with an exception set.
    bool finish(bool body_ok);

private:
    Handle manager_;
    Handle exit_;
};

// `with obj.<attr>:` convenience for the link's locks held in the instance.
bool enter_attr(WithBlock& block, PyObject* obj, PyObject* attr_name);

// str(obj.port), or empty with an exception set.
Handle port_text(PyObject* channel);

// raise IOError(text); returns null. Takes the message as text built by the caller.
PyObject* raise_io_error(Handle text);

// After a second error was raised while `previous` (a fetched exception) was being handled,
// records `previous` as the new error's __context__, as an except/finally clause does.
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~PendingError();
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    bool empty() const noexcept { return type_ == nullptr; }
    // Whether it is an instance of the exception class (or tuple of classes) `exc`.
    bool matches(PyObject* exc) const noexcept { return type_ && PyErr_GivenExceptionMatches(type_, exc); }
    // Puts the error back as the current exception.
    void restore() noexcept;
    // Sets it as the context of the error currently raised (which must be set), and drops it.
    void chain_into_current() noexcept;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

}  // namespace ozu::mew::link
