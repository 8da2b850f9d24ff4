// The timed wait of the module's threads on their queues.
#pragma once
#include "runtime/handle.hpp"

namespace ozu::py {

// queue.get(timeout=timeout), with `get` looked up on the queue at the call and the module-level
// `Empty` looked up when the call fails, as `except Empty:` does. Returns the item; or empty with
// `timed_out` set and no error pending when the queue raised Empty; or empty with the error set
// (a failed lookup of `Empty` raises its own error, the queue's as its context).
Handle queue_get(PyObject* queue, PyObject* timeout, bool& timed_out);

}  // namespace ozu::py
