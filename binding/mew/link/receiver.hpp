// The body of a link's receiver thread.
#pragma once
#include "runtime/handle.hpp"

namespace ozu::mew::link {

// Called once while the module is built, after the classes it depends on exist.
bool init_receiver();

// Runs the receiver loop of the link `self` until its stop flag is set. Returns None, or null
// with the exception that ended the thread (a failing read of the first character).
PyObject* run_receiver(PyObject* self);

}  // namespace ozu::mew::link
