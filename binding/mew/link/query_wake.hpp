// Ending the wait of a master's query from the link's side: when the link is closed, or when its
// receiver ends because the channel failed, a query waiting for its answer is woken at once
// instead of waiting out its query_timeout. A dead receiver's cause is kept so that later queries
// can name it.
#pragma once
#include "runtime/handle.hpp"

namespace ozu::mew::link {

// What a woken query finds in its answer queue instead of a frame.
enum class Wake { None, Closed, Broken };

// The query's own answer queue, while it waits. Only queues so marked are ever woken: the link's
// other listeners never receive anything but frames.
void waiting_begins(PyObject* queue);
void waiting_ends(PyObject* queue) noexcept;

// What `item`, taken from a waiting queue, says (Wake::None for a frame).
Wake wake_reason(PyObject* item) noexcept;

// Puts the wake-up into every waiting query queue among `link`'s feedback listeners, under the
// link's listener lock. False with an exception set when that fails.
bool wake_waiting_queries(PyObject* link, Wake why);

// Called by the receiver thread of `link` as it ends because its channel failed, with that
// failure pending (it stays pending): keeps the failure for the thread, and wakes the queries.
void receiver_failed(PyObject* link);

// The failure that ended `link`'s current receiver, when the link is in that state (its stop flag
// clear, its receiver thread one that ended so); otherwise empty. Never raises.
py::Handle receiver_failure(PyObject* link);

}  // namespace ozu::mew::link
