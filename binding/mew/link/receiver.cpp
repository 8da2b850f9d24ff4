#include "link/receiver.hpp"

#include "link/link_support.hpp"
#include "runtime/class_builder.hpp"
#include "runtime/module_globals.hpp"

namespace ozu::mew::link {
namespace {

using namespace ozu::py;

// Truth value of a call's result; -1 with an exception set when the call or the test failed.
int truth(const Handle& value) { return value ? PyObject_IsTrue(value.get()) : -1; }

Handle call_codec(PyObject* op, PyObject* line) {
    PyObject* codec = global(OZU_ID("MewStatic"));
    if (!codec) return {};
    Handle keep = borrow(codec);
    return steal(PyObject_CallMethodOneArg(codec, op, line));
}

// put(line) on every listener of the list, in list order; stops at the first failure.
bool deliver(PyObject* listeners, PyObject* line) {
    Handle it = steal(PyObject_GetIter(listeners));
    if (!it) return false;
    while (Handle listener = steal(PyIter_Next(it.get()))) {
        Handle done = steal(PyObject_CallMethodOneArg(listener.get(), OZU_ID("put"), line));
        if (!done) return false;
    }
    return !PyErr_Occurred();
}

bool print_err(PyObject* text) {
    PyObject* err = global(OZU_ID("_err"));
    if (!err) return false;
    Handle keep = borrow(err);
    return print_line(text, err);
}

Handle channel_port_text(PyObject* self) {
    Handle channel = steal(PyObject_GetAttr(self, OZU_ID("_channel")));
    if (!channel) return {};
    return port_text(channel.get());
}

// Classifies one frame and hands it to the listeners of its kind; runs under _listener_lock.
bool dispatch(PyObject* self, PyObject* line) {
    int answer = truth(call_codec(OZU_ID("is_feedback"), line));
    if (answer == 0) answer = truth(call_codec(OZU_ID("is_error"), line));
    if (answer < 0) return false;
    if (answer) {
        Handle listeners = steal(PyObject_GetAttr(self, OZU_ID("_feedback_listeners")));
        return listeners && deliver(listeners.get(), line);
    }
    int query = truth(call_codec(OZU_ID("is_query"), line));
    if (query < 0) return false;
    if (query) {
        Handle listeners = steal(PyObject_GetAttr(self, OZU_ID("_query_listeners")));
        int any = truth(listeners);
        if (any < 0) return false;
        if (any) return deliver(listeners.get(), line);
        Handle port = channel_port_text(self);
        if (!port) return false;
        Handle text = steal(PyUnicode_FromFormat("MewBase:%U:No query listener. Drop frame.", port.get()));
        return text && print_err(text.get());
    }
    Handle type = call_codec(OZU_ID("frame_type"), line);
    if (!type) return false;
    static PyObject* const prefix = PyUnicode_InternFromString("MewBase: Unknown frame type:");
    Handle text = steal(PyNumber_Add(prefix, type.get()));
    return text && print_err(text.get());
}

// The rest of the frame after its first character `c`, then its delivery. False with the
// exception pending that the loop's error handling takes.
bool receive_and_dispatch(PyObject* self, PyObject* c) {
    Handle channel = steal(PyObject_GetAttr(self, OZU_ID("_channel")));
    if (!channel) return false;
    Handle rest = steal(PyObject_CallMethodNoArgs(channel.get(), OZU_ID("receive_frame")));
    if (!rest) return false;
    Handle line = steal(PyNumber_Add(c, rest.get()));
    if (!line) return false;
    WithBlock block;
    if (!enter_attr(block, self, OZU_ID("_listener_lock"))) return false;
    return block.finish(dispatch(self, line.get()));
}

// The loop's answer to a failed frame: the diagnostic line, and after a line error the pause.
// False (with an exception set) when the error is not one the loop handles, or reporting failed.
bool report(PyObject* self) {
    const bool io = PyErr_ExceptionMatches(PyExc_OSError);
    if (!io && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Handle type_h = steal(type), value_h = steal(value), tb_h = steal(tb);

    auto fail = [&]() {
        // An error while reporting replaces the frame's error, which becomes its context.
        PyObject *t = nullptr, *v = nullptr, *vtb = nullptr;
        PyErr_Fetch(&t, &v, &vtb);
        PyErr_NormalizeException(&t, &v, &vtb);
        if (v && value_h && v != value_h.get()) PyException_SetContext(v, value_h.copy().release());
        PyErr_Restore(t, v, vtb);
        return false;
    };
    Handle port = channel_port_text(self);
    if (!port) return fail();
    Handle what = steal(PyObject_Str(value_h.get()));
    if (!what) return fail();
    Handle text = steal(io ? PyUnicode_FromFormat("IOError:%U:%U", port.get(), what.get())
                           : PyUnicode_FromFormat("Ignore unhandled exception:%U:%U", port.get(), what.get()));
    if (!text || !print_err(text.get())) return fail();
    if (io) {
        Handle pause = steal(PyFloat_FromDouble(0.1));
        if (!pause) return fail();
        PyObject* args[] = {pause.get()};
        if (!call_global(OZU_ID("sleep"), args, 1)) return fail();
    }
    return true;
}

}  // namespace

bool init_receiver(PyObject*) { return true; }

PyObject* run_receiver(PyObject* self) {
    for (;;) {
        Handle flag = steal(PyObject_GetAttr(self, OZU_ID("_stop_flag")));
        int stop = truth(flag);
        if (stop < 0) return nullptr;
        if (stop) return none().release();

        // The first character: a failure here is not the loop's to handle and ends the thread.
        Handle channel = steal(PyObject_GetAttr(self, OZU_ID("_channel")));
        if (!channel) return nullptr;
        Handle c = steal(PyObject_CallMethodNoArgs(channel.get(), OZU_ID("read")));
        int got = truth(c);
        if (got < 0) return nullptr;
        if (!got) continue;

        if (!receive_and_dispatch(self, c.get()) && !report(self)) return nullptr;
    }
}

}  // namespace ozu::mew::link
