// Small pieces shared by the link engine and the master: `with` blocks over the module's locks,
// the port text of messages, and raising the line errors.
#pragma once
#include "runtime/error_scope.hpp"
#include "runtime/handle.hpp"
#include "runtime/with_block.hpp"

namespace ozu::mew::link {

using py::Handle;

using py::WithBlock;

// Whether the calling thread is the thread object `thread`, by its `ident` (anything without a
// matching ident, None included, is not). Never raises.
bool is_calling_thread(PyObject* thread);

// Waits until the run on `thread` (see RunOwner) has ended, unless it is None or the calling
// thread; a signal handler's exception ends the wait (false, exception set). A thread object that
// is not a standard thread is waited for with its join().
bool wait_for_run_end(PyObject* thread);

// One run of a thread that serves a link: the receiver (its thread in `_receiver_thread`) or a
// station's worker (in `_slave_thread`). start() names the new run's thread in that attribute, so
// a run whose thread is no longer named there has been replaced, and ends after its current frame
// or request whatever the stop flag says: two runs never serve at once, even when the stop flag
// was set and cleared again before the previous run saw it. A run that finds another standard
// thread named as it begins has been replaced already. A run that cannot tell (the attribute
// holds None or an object that is not a standard thread) follows the stop flag alone.
class RunOwner {
public:
    // Called by the run's own thread as it begins.
    RunOwner(PyObject* self, PyObject* thread_attr);
    ~RunOwner();
    RunOwner(const RunOwner&) = delete;
    RunOwner& operator=(const RunOwner&) = delete;

    // 1 while the run is the current one, 0 once it has been replaced, -1 with an exception set.
    int current() const;
    // 1 while the stop flag `stop_attr` is false and the run is the current one, 0 when the run
    // must end, -1 with an exception set.
    int wanted(PyObject* stop_attr) const;

private:
    PyObject* self_;
    PyObject* thread_attr_;
    Handle thread_;  // the run's thread object; empty when it cannot be told
    bool replaced_ = false;
};

// `with obj.<attr>:` convenience for the link's locks held in the instance.
bool enter_attr(WithBlock& block, PyObject* obj, PyObject* attr_name);

// str(obj.port), or empty with an exception set.
Handle port_text(PyObject* channel);

// raise IOError(text); returns null. Takes the message as text built by the caller.
PyObject* raise_io_error(Handle text);

}  // namespace ozu::mew::link
