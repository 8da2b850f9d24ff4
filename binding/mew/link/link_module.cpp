// MewBase: owns one channel, runs the receiver thread that sorts incoming frames to the
// registered listeners, and serialises sending.
#include "link/link_support.hpp"
#include "link/query_wake.hpp"
#include "link/receiver.hpp"
#include "module/subsystems.hpp"
#include "runtime/class_builder.hpp"
#include "runtime/module_globals.hpp"

namespace ozu::mew {
namespace {

using namespace ozu::py;
using link::WithBlock;

PyObject* g_current_thread = nullptr;  // threading.current_thread, kept for the process

bool set_attr(PyObject* obj, PyObject* name, PyObject* value) { return PyObject_SetAttr(obj, name, value) == 0; }

// Makes the channel for a device name, as the name's form selects.
Handle channel_from_name(PyObject* name, PyObject* kwargs) {
    int pair = PySequence_Contains(name, OZU_ID(","));
    if (pair < 0) return {};
    Handle empty = steal(PyTuple_New(0));
    if (!empty) return {};
    if (pair) {
        PyObject* dual = global(OZU_ID("DualSerial"));
        if (!dual) return {};
        Handle keep = borrow(dual);
        Handle args = steal(PyTuple_Pack(1, name));
        if (!args) return {};
        return steal(PyObject_Call(dual, args.get(), kwargs));
    }
    Handle lower = steal(PyObject_CallMethodNoArgs(name, OZU_ID("lower")));
    if (!lower) return {};
    static PyObject* const prefixes = Py_BuildValue("(ssss)", "com", "/dev/tty", "brix", "hidcom");
    if (!prefixes) return {};
    Handle known = steal(PyObject_CallMethodOneArg(lower.get(), OZU_ID("startswith"), prefixes));
    if (!known) return {};
    int is_known = PyObject_IsTrue(known.get());
    if (is_known < 0) return {};
    if (!is_known) {
        PyErr_Format(PyExc_ValueError, "Unknown device name: %S", name);
        return {};
    }
    if (PyDict_SetItem(kwargs, OZU_ID("port"), name) < 0) return {};
    int has_timeout = PyDict_Contains(kwargs, OZU_ID("timeout"));
    if (has_timeout < 0) return {};
    if (!has_timeout) {
        Handle one = steal(PyFloat_FromDouble(1.0));
        if (!one || PyDict_SetItem(kwargs, OZU_ID("timeout"), one.get()) < 0) return {};
    }
    PyObject* serial = global(OZU_ID("MewSerial"));
    if (!serial) return {};
    Handle keep = borrow(serial);
    return steal(PyObject_Call(serial, empty.get(), kwargs));
}

Handle new_lock() { return call_global(OZU_ID("Lock"), nullptr, 0); }

PyObject* init_impl(BoundArgs& args) {
    auto [self, channel] = args.take<2>();
    Handle made;
    if (PyUnicode_Check(channel)) {
        made = channel_from_name(channel, args.kwargs.get());
        if (!made) return nullptr;
        channel = made.get();
    }
    Handle empty1 = steal(PyList_New(0));
    Handle empty2 = steal(PyList_New(0));
    if (!empty1 || !empty2) return nullptr;
    if (!set_attr(self, OZU_ID("_channel"), channel) || !set_attr(self, OZU_ID("_stop_flag"), Py_True) ||
        !set_attr(self, OZU_ID("_feedback_listeners"), empty1.get()) ||
        !set_attr(self, OZU_ID("_query_listeners"), empty2.get()))
        return nullptr;
    Handle listener_lock = new_lock();
    if (!listener_lock || !set_attr(self, OZU_ID("_listener_lock"), listener_lock.get())) return nullptr;
    Handle sender_lock = new_lock();
    if (!sender_lock || !set_attr(self, OZU_ID("_sender_lock"), sender_lock.get())) return nullptr;
    if (!set_attr(self, OZU_ID("_receiver_thread"), Py_None)) return nullptr;
    return none().release();
}

PyObject* dev_handle_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    return PyObject_GetAttr(self, OZU_ID("_channel"));
}

PyObject* channel_name_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    Handle handle = steal(PyObject_GetAttr(self, OZU_ID("dev_handle")));
    if (!handle) return nullptr;
    return PyObject_GetAttr(handle.get(), OZU_ID("port"));
}

// Back to Idle after a start that could not complete, so that stop() and close() still work. The
// start's own error stays the one reported. A thread whose start() was attempted may still begin
// (its start() was interrupted): it stays named, and ends at once on the set flag or, after a later
// start(), on finding itself replaced. Otherwise the previous thread is named again, as it was.
PyObject* undo_start(PyObject* self, PyObject* previous, bool thread_may_run = false) {
    py::ErrorScope error;
    if (!set_attr(self, OZU_ID("_stop_flag"), Py_True) ||
        (!thread_may_run && !set_attr(self, OZU_ID("_receiver_thread"), previous))) {
        error.chain_into_current();
        return nullptr;
    }
    error.restore();
    return nullptr;
}

PyObject* start_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    Handle flag = steal(PyObject_GetAttr(self, OZU_ID("_stop_flag")));
    if (!flag) return nullptr;
    int stopped = PyObject_IsTrue(flag.get());
    if (stopped < 0) return nullptr;
    if (!stopped) return none().release();
    // A new run never serves beside the previous one: wait for the previous receiver (a stop whose
    // own wait was interrupted leaves it running), unless the caller is that receiver, which ends
    // after its current frame once it sees itself replaced. An interrupted wait starts nothing.
    Handle previous = steal(PyObject_GetAttr(self, OZU_ID("_receiver_thread")));
    if (!previous) return nullptr;
    if (!link::wait_for_run_end(previous.get())) return nullptr;

    // The new thread is named before the flag is cleared: a previous receiver that has not looked
    // yet (its start() was interrupted) then finds either the flag set or itself replaced.
    Handle target = steal(PyObject_GetAttr(self, OZU_ID("_receiver")));
    if (!target) return nullptr;
    PyObject* thread_args[] = {target.get()};
    Handle kwnames = steal(PyTuple_Pack(1, OZU_ID("target")));
    if (!kwnames) return nullptr;
    Handle thread = call_global(OZU_ID("Thread"), thread_args, 0, kwnames.get());
    if (!thread || !set_attr(self, OZU_ID("_receiver_thread"), thread.get())) return undo_start(self, previous.get());
    if (!set_attr(self, OZU_ID("_stop_flag"), Py_False)) return undo_start(self, previous.get());

    Handle channel = steal(PyObject_GetAttr(self, OZU_ID("_channel")));
    if (!channel) return undo_start(self, previous.get());
    Handle reset = steal(PyObject_CallMethodNoArgs(channel.get(), OZU_ID("reset_input_buffer")));
    if (!reset) return undo_start(self, previous.get());

    Handle started = steal(PyObject_CallMethodNoArgs(thread.get(), OZU_ID("start")));
    if (!started) return undo_start(self, previous.get(), true);
    return none().release();
}

PyObject* stop_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    Handle flag = steal(PyObject_GetAttr(self, OZU_ID("_stop_flag")));
    if (!flag) return nullptr;
    int stopped = PyObject_IsTrue(flag.get());
    if (stopped < 0) return nullptr;
    if (stopped) return none().release();
    if (!set_attr(self, OZU_ID("_stop_flag"), Py_True)) return nullptr;
    Handle thread = steal(PyObject_GetAttr(self, OZU_ID("_receiver_thread")));
    if (!thread) return nullptr;
    // Called from the receiver itself (a listener stopping the link): the flag ends the thread
    // after the current frame; waiting here would wait on ourselves.
    Handle current = steal(PyObject_CallNoArgs(g_current_thread));
    if (!current) return nullptr;
    if (current.get() == thread.get()) return none().release();
    Handle joined = steal(PyObject_CallMethodNoArgs(thread.get(), OZU_ID("join")));
    // After join(), the receiver's own word: a join interrupted earlier may have left it running.
    if (!joined || !link::wait_for_run_end(thread.get())) return nullptr;
    return joined.release();
}

PyObject* close_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    // A query waiting for its answer ends now, not after its time-out; so does one that began
    // while the channel was being closed.
    if (!link::wake_waiting_queries(self, link::Wake::Closed)) return nullptr;
    Handle stopped = steal(PyObject_CallMethodNoArgs(self, OZU_ID("stop")));
    if (!stopped) return nullptr;
    Handle channel = steal(PyObject_GetAttr(self, OZU_ID("_channel")));
    if (!channel) return nullptr;
    Handle closed = steal(PyObject_CallMethodNoArgs(channel.get(), OZU_ID("close")));
    if (!closed || !link::wake_waiting_queries(self, link::Wake::Closed)) return nullptr;
    return closed.release();
}

PyObject* receiver_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    return link::run_receiver(self);
}

PyObject* send_impl(BoundArgs& args) {
    auto [self, data] = args.take<2>();
    WithBlock block;
    if (!link::enter_attr(block, self, OZU_ID("_sender_lock"))) return nullptr;
    Handle channel = steal(PyObject_GetAttr(self, OZU_ID("_channel")));
    Handle sent;
    if (channel) sent = steal(PyObject_CallMethodOneArg(channel.get(), OZU_ID("send_frame"), data));
    if (!block.finish(static_cast<bool>(sent))) return nullptr;
    return none().release();
}

// `with link:` gives the link itself, started or not as it is; leaving the block closes it, and an
// exception raised in the block goes on (None is not a true result).
PyObject* enter_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    return Py_NewRef(self);
}

PyObject* exit_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    Handle closed = steal(PyObject_CallMethodNoArgs(self, OZU_ID("close")));
    if (!closed) return nullptr;
    return none().release();
}

const FunctionDecl kInit = {.name = "__init__", .params = {{"self"}, {"channel"}}, .impl = init_impl, .star_kwargs = true};
const FunctionDecl kDevHandle = {"dev_handle", {{"self"}}, dev_handle_impl};
const FunctionDecl kChannelName = {"channel_name", {{"self"}}, channel_name_impl};
const FunctionDecl kStart = {"start", {{"self"}}, start_impl};
const FunctionDecl kStop = {"stop", {{"self"}}, stop_impl};
const FunctionDecl kClose = {"close", {{"self"}}, close_impl};
const FunctionDecl kReceiver = {"_receiver", {{"self"}}, receiver_impl};
const FunctionDecl kSend = {"_send", {{"self"}, {"data", Check::Str}}, send_impl};
const FunctionDecl kEnter = {"__enter__", {{"self"}}, enter_impl};
const FunctionDecl kExit = {"__exit__", {{"self"}, {"exc_type"}, {"exc_val"}, {"exc_tb"}}, exit_impl};

}  // namespace

bool register_link(PyObject* module_dict) {
    Handle threading = steal(PyImport_ImportModule("threading"));
    if (!threading) return false;
    g_current_thread = PyObject_GetAttrString(threading.get(), "current_thread");
    if (!g_current_thread || !link::init_receiver()) return false;
    Handle cls = ClassBuilder("MewBase")
                     .method(kInit)
                     .property(kDevHandle)
                     .property(kChannelName)
                     .method(kStart)
                     .method(kStop)
                     .method(kClose)
                     .method(kReceiver)
                     .method(kSend)
                     .method(kEnter)
                     .method(kExit)
                     .build();
    return cls && PyDict_SetItemString(module_dict, "MewBase", cls.get()) == 0;
}

}  // namespace ozu::mew
