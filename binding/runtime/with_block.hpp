// A `with` statement around a stretch of C++ code, for the module's locks and any other manager.
#pragma once
#include "runtime/handle.hpp"

namespace ozu::py {

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
    bool exit_unbound_ = false;  // exit_ is the type's method descriptor, called with manager_ first
};

}  // namespace ozu::py
