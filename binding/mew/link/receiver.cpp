#include "link/receiver.hpp"

#include "channel/channel_fast_path.hpp"
#include "channel/frame_reader.hpp"
#include "link/link_support.hpp"
#include "link/query_wake.hpp"
#include "runtime/brix_capi.hpp"
#include "runtime/class_builder.hpp"
#include "runtime/module_globals.hpp"
#include "ozu/serial/sliced_read.hpp"

#include <cstddef>
#include <utility>

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

// ---------------------------------------------------------------- noise before a frame
//
// A frame starts at its header "%": the first-character read passes over anything else, and a
// "%" inside a frame starts the next one. What is passed over is reported once per burst (a run
// that ends at a frame, a quiet line, an error or the receiver's end, or that reaches the frame
// limit), with its first bytes shown.

constexpr Py_ssize_t kNoiseShown = 64;
constexpr Py_ssize_t kNoiseBurst = 2048;

class Noise {
public:
    // Adds text passed over (as the channel decoded it). False with an exception set.
    bool add(PyObject* text) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        if (n == 0) return true;
        count_ += n;
        if (shown_ && PyUnicode_GET_LENGTH(shown_.get()) >= kNoiseShown) return true;
        Handle head = steal(PyUnicode_Substring(text, 0, kNoiseShown));
        if (!head) return false;
        shown_ = shown_ ? steal(PyUnicode_Concat(shown_.get(), head.get())) : std::move(head);
        return static_cast<bool>(shown_);
    }

    // Adds what the frame reader threw away (bytes, read as ISO 8859-1).
    bool add_dropped(const channel::DroppedBytes& dropped) {
        if (dropped.count == 0) return true;
        Handle text = steal(PyUnicode_DecodeLatin1(dropped.head.data(), static_cast<Py_ssize_t>(dropped.head.size()), nullptr));
        if (!text || !add(text.get())) return false;
        count_ += static_cast<Py_ssize_t>(dropped.count) - PyUnicode_GET_LENGTH(text.get());
        return true;
    }

    bool full() const { return count_ >= kNoiseBurst; }

    // Prints the burst, if any, and starts a new one. False with an exception set.
    bool report(PyObject* self) {
        if (count_ == 0) return true;
        Handle shown = shown_ ? steal(PyUnicode_Substring(shown_.get(), 0, kNoiseShown)) : Handle();
        const Py_ssize_t count = count_;
        count_ = 0;
        shown_ = {};
        if (!shown) return false;
        // The bytes as they came, when the text maps back onto them one to one.
        Handle as_bytes = steal(PyUnicode_AsLatin1String(shown.get()));
        if (!as_bytes) PyErr_Clear();
        Handle port = channel_port_text(self);
        if (!port) return false;
        Handle text = steal(PyUnicode_FromFormat("MewBase:%U:Dropped %zd byte%s before a frame:%R%s", port.get(), count,
                                                 count == 1 ? "" : "s", as_bytes ? as_bytes.get() : shown.get(),
                                                 count > PyUnicode_GET_LENGTH(shown.get()) ? "..." : ""));
        return text && print_err(text.get());
    }

    // Reports without disturbing an exception already pending.
    void report_keeping_error(PyObject* self) {
        py::ErrorGuard pending;
        if (!report(self)) PyErr_Clear();
    }

private:
    Py_ssize_t count_ = 0;
    Handle shown_;
};

// c + rest, from its last "%" on: what comes before that "%" belongs to no frame, and with it
// goes what the frame reader threw away on the way.
Handle frame_line(PyObject* c, PyObject* rest, Noise& noise) {
    Handle line = steal(PyNumber_Add(c, rest));
    if (!line) return {};
    channel::DroppedBytes dropped = channel::take_dropped();
    if (!PyUnicode_Check(line.get())) return line;
    Py_ssize_t n = PyUnicode_GET_LENGTH(line.get());
    Py_ssize_t start = PyUnicode_FindChar(line.get(), '%', 0, n, -1);
    if (start == -2) return {};
    if (start > 0) {
        Handle before = steal(PyUnicode_Substring(line.get(), 0, start));
        if (!before || !noise.add(before.get())) return {};
        line = steal(PyUnicode_Substring(line.get(), start, n));
        if (!line) return {};
    }
    if (!noise.add_dropped(dropped)) return {};
    return line;
}

bool deliver_line(PyObject* self, PyObject* c, PyObject* rest, Noise& noise) {
    Handle line = frame_line(c, rest, noise);
    if (!line || !noise.report(self)) return false;
    WithBlock block;
    if (!enter_attr(block, self, OZU_ID("_listener_lock"))) return false;
    return block.finish(dispatch(self, line.get()));
}

// The rest of the frame after its first character `c`, then its delivery. False with the
// exception pending that the loop's error handling takes.
bool receive_and_dispatch(PyObject* self, PyObject* c, Noise& noise) {
    Handle channel = steal(PyObject_GetAttr(self, OZU_ID("_channel")));
    if (!channel) return false;
    (void)channel::take_dropped();
    Handle rest = steal(PyObject_CallMethodNoArgs(channel.get(), OZU_ID("receive_frame")));
    return rest && deliver_line(self, c, rest.get(), noise);
}

// The first character of a frame is its "%"; anything else read there is noise. Returns 1 when
// `c` (text, not empty) holds a "%" (cut to start there), 0 when it was all noise, -1 on error.
int frame_start(Handle& c, Noise& noise) {
    if (!PyUnicode_Check(c.get())) return 1;  // not text: handed on as it is
    Py_ssize_t n = PyUnicode_GET_LENGTH(c.get());
    Py_ssize_t at = PyUnicode_FindChar(c.get(), '%', 0, n, -1);
    if (at == -2) return -1;
    if (at == 0) return 1;
    if (at < 0) return noise.add(c.get()) ? 0 : -1;
    Handle before = steal(PyUnicode_Substring(c.get(), 0, at));
    if (!before || !noise.add(before.get())) return -1;
    c = steal(PyUnicode_Substring(c.get(), at, n));
    return c ? 1 : -1;
}

// ---------------------------------------------------------------- native reading
//
// A channel that is exactly the module's MewSerial or DualSerial reading from an ozu_brix port is
// read in C++: the first byte as its read() would wait for it and decode it, the rest by the frame
// reader, both without the GIL. Anything about the channel that read() or receive_frame() would see
// differently (an instance attribute standing in for them, an encoding that is not text) sends it
// the generic way.
//
// The wait for a first byte is cut into short slices, between which the receiver looks at its stop
// flag: stop() and close() then take effect within a slice, whatever the port's read time-out.

const brix::CApi* g_brix = nullptr;

struct NativeChannel {
    Handle port_object;  // keeps the core port alive while it is read without the GIL
    serial::Port* port = nullptr;
};

// An instance attribute named like the reading methods hides them from `channel.read()`.
bool overrides_reading(PyObject* channel) {
    Handle dict = steal(PyObject_GenericGetDict(channel, nullptr));
    if (!dict) return true;
    return PyDict_GetItemWithError(dict.get(), OZU_ID("read")) ||
           PyDict_GetItemWithError(dict.get(), OZU_ID("receive_frame")) || PyErr_Occurred();
}

NativeChannel native_channel(PyObject* channel) {
    NativeChannel native;
    if (!g_brix) return native;
    Handle keep;
    serial::Port* port = channel::exact_serial_read_port(channel, keep);
    if (!port) return native;
    if (overrides_reading(channel)) {
        PyErr_Clear();
        return native;
    }
    native.port_object = std::move(keep);
    native.port = port;
    return native;
}

// The longest a stop waits for the receiver's pending wait for a first byte, in seconds.
constexpr double kStopSlice = 0.05;

// Whether the receiver's run still wants what it is reading (for the frame reader's slices).
int still_wanted(void* run) { return static_cast<const RunOwner*>(run)->wanted(OZU_ID("_stop_flag")); }

// One byte as the port object's read() hands it out: 1, 0 after the read time-out or once the run
// must end, -1 with the port's own error (or a signal handler's) set.
int read_first_byte(const NativeChannel& native, const RunOwner& run, char& byte) {
    serial::Port& port = *native.port;
    auto* dst = reinterpret_cast<std::uint8_t*>(&byte);
    if (port.read_buffered(dst, 1) == 1) return 1;
    serial::IoError err;
    std::ptrdiff_t got;
    bool run_ended = false;
    {
        GilRelease nogil;
        got = serial::read_sliced(port, dst, 1, serial::SlicedWait(port.timeout(), kStopSlice), err, [&] {
            return nogil.with_gil([&] {
                if (PyErr_CheckSignals() != 0) return false;
                const int wanted = run.wanted(OZU_ID("_stop_flag"));
                run_ended = wanted == 0;
                return wanted > 0;
            });
        });
    }
    if (got == serial::kReadStopped) return run_ended ? 0 : -1;
    if (got == serial::kReadFailed) {
        g_brix->raise_port_error(native.port_object.get(), err);
        return -1;
    }
    return static_cast<int>(got);
}

// `channel.read()` of a native channel: the port's byte, decoded with the channel's encoding as
// that read() decodes it.
Handle read_first_native(PyObject* channel, const NativeChannel& native, const RunOwner& run) {
    char byte = 0;
    int got = read_first_byte(native, run, byte);
    if (got < 0) return {};
    Handle data = steal(PyBytes_FromStringAndSize(&byte, got));
    if (!data) return {};
    Handle encoding = steal(PyObject_GetAttr(channel, OZU_ID("encoding")));
    if (!encoding) return {};
    Handle text = PyUnicode_Check(encoding.get())
                      ? channel::decode_bytes(data.get(), encoding.get())
                      : steal(PyObject_CallMethodOneArg(data.get(), OZU_ID("decode"), encoding.get()));
    if (text && text.get() != Py_None && !PyUnicode_CheckExact(text.get())) {
        raise_expected("str", text.get());
        return {};
    }
    return text;
}

}  // namespace

bool init_receiver() {
    g_brix = brix::import_brix_capi();
    if (!g_brix) PyErr_Clear();  // without the serial library's C API every channel is read through Python
    return true;
}

namespace {

// The loop's answer to a failed frame: the diagnostic line, and after a line error the pause.
// False (with an exception set) when the error is not one the loop handles, or reporting failed.
bool report(PyObject* self) {
    const bool io = PyErr_ExceptionMatches(PyExc_OSError);
    if (!io && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
    py::ErrorScope failure;
    failure.normalize();

    auto fail = [&]() {
        // An error while reporting replaces the frame's error, which becomes its context.
        failure.chain_into_current();
        return false;
    };
    Handle port = channel_port_text(self);
    if (!port) return fail();
    Handle what = steal(PyObject_Str(failure.value()));
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

PyObject* run_receiver(PyObject* self) {
    Noise noise;
    const RunOwner run(self, OZU_ID("_receiver_thread"));
    for (;;) {
        const int wanted = run.wanted(OZU_ID("_stop_flag"));
        if (wanted < 0) return nullptr;
        if (!wanted) {
            if (!noise.report(self)) return nullptr;
            return none().release();
        }

        // The first character: a failure here is not the loop's to handle and ends the thread.
        Handle channel = steal(PyObject_GetAttr(self, OZU_ID("_channel")));
        if (!channel) return nullptr;
        NativeChannel native = native_channel(channel.get());
        Handle c = native.port ? read_first_native(channel.get(), native, run)
                               : steal(PyObject_CallMethodNoArgs(channel.get(), OZU_ID("read")));
        int got = truth(c);
        if (got < 0) {
            noise.report_keeping_error(self);
            if (!c) receiver_failed(self);  // the channel failed: the link is down
            return nullptr;
        }
        if (!got) {  // a quiet line ends a burst of noise
            if (!noise.report(self)) return nullptr;
            continue;
        }
        int start = frame_start(c, noise);
        if (start < 0) return nullptr;
        if (start == 0) {
            if (noise.full() && !noise.report(self)) return nullptr;
            continue;
        }

        bool ok;
        if (native.port) {
            // The channel's receive_frame() is the frame reader over the very same port; a stop
            // that comes while the frame is still arriving ends the wait within a slice.
            bool abandoned = false;
            Handle rest = steal(channel::receive_frame_native(native.port_object.get(), *native.port, kStopSlice,
                                                              still_wanted, const_cast<RunOwner*>(&run), abandoned));
            if (abandoned) {  // the start of a frame nobody will read any more: noise of this run
                if (!noise.add(c.get()) || !noise.add_dropped(channel::take_dropped())) return nullptr;
                continue;
            }
            ok = rest && deliver_line(self, c.get(), rest.get(), noise);
        } else {
            ok = receive_and_dispatch(self, c.get(), noise);
        }
        if (!ok) {
            // What the failed read threw away is the frame its error reports.
            (void)channel::take_dropped();
            noise.report_keeping_error(self);
            if (!report(self)) return nullptr;
        }
    }
}

}  // namespace ozu::mew::link
