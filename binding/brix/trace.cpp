// The wire trace: a port's records as `logging` records of the logger "ozu_brix.wire". Frames and
// chunks at DEBUG; a device that vanishes, and writes nobody receives, at WARNING; a device or
// client that is back at INFO. Each record carries the port, the direction or event, the bytes
// and the monotonic time as attributes (port, direction, data, monotonic) and in its message.
#include "brix.hpp"

namespace ozu::brix {

namespace {

using ozu::serial::TraceEvent;

constexpr int kDebug = 10;
constexpr int kInfo = 20;
constexpr int kWarning = 30;

struct EventText {
    const char* direction;
    int level;
};

EventText describe(TraceEvent event) {
    switch (event) {
        case TraceEvent::Read: return {"read", kDebug};
        case TraceEvent::Written: return {"write", kDebug};
        case TraceEvent::Disconnected: return {"disconnected", kWarning};
        case TraceEvent::Reconnected: return {"reconnected", kInfo};
        case TraceEvent::ClientConnected: return {"client connected", kInfo};
        case TraceEvent::ClientLeft: return {"client left", kInfo};
        case TraceEvent::WriteDropped: return {"write dropped", kWarning};
    }
    return {"?", kDebug};
}

bool interpreter_finishing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

class LoggingSink final : public ozu::serial::TraceSink {
public:
    LoggingSink(py::Handle logger, py::Handle name) : logger_(std::move(logger)), name_(std::move(name)) {}
    ~LoggingSink() override {
        // The last reference may go in a thread without the interpreter.
        if (interpreter_finishing()) {
            (void)logger_.release();
            (void)name_.release();
            return;
        }
        PyGILState_STATE gil = PyGILState_Ensure();
        logger_.reset();
        name_.reset();
        PyGILState_Release(gil);
    }

    void record(const ozu::serial::Port&, TraceEvent event, const std::uint8_t* data, std::size_t n,
                std::string_view detail, double when) noexcept override {
        if (interpreter_finishing()) return;
        PyGILState_STATE gil = PyGILState_Ensure();
        {
            py::ErrorGuard keep_pending;  // a caller's pending exception is not ours to replace
            if (!log(event, data, n, detail, when)) PyErr_WriteUnraisable(logger_.get());
        }
        PyGILState_Release(gil);
    }

private:
    bool log(TraceEvent event, const std::uint8_t* data, std::size_t n, std::string_view detail, double when) {
        const EventText text = describe(event);
        py::Handle level = py::steal(PyLong_FromLong(text.level));
        if (!level) return false;
        py::Handle enabled = py::steal(PyObject_CallMethod(logger_.get(), "isEnabledFor", "O", level.get()));
        if (!enabled) return false;
        if (!PyObject_IsTrue(enabled.get())) return true;
        py::Handle bytes = py::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                               static_cast<Py_ssize_t>(data ? n : 0)));
        py::Handle why = py::steal(
            PyUnicode_DecodeUTF8(detail.data(), static_cast<Py_ssize_t>(detail.size()), "replace"));
        py::Handle stamp = py::steal(PyFloat_FromDouble(when));
        py::Handle direction = py::steal(PyUnicode_FromString(text.direction));
        if (!bytes || !why || !stamp || !direction) return false;
        const bool has_data = event == TraceEvent::Read || event == TraceEvent::Written;
        const char* format = has_data ? "%s %s %r (t=%.6f)" : detail.empty() ? "%s %s%s (t=%.6f)" : "%s %s: %s (t=%.6f)";
        py::Handle message = py::steal(PyUnicode_FromString(format));
        py::Handle extra = py::steal(Py_BuildValue("{sOsOsOsO}", "port", name_.get(), "direction", direction.get(),
                                                   "data", bytes.get(), "monotonic", stamp.get()));
        if (!message || !extra) return false;
        py::Handle args = py::steal(PyTuple_Pack(6, level.get(), message.get(), name_.get(), direction.get(),
                                                 has_data ? bytes.get() : why.get(), stamp.get()));
        py::Handle kwargs = py::steal(Py_BuildValue("{sO}", "extra", extra.get()));
        py::Handle log = py::steal(PyObject_GetAttrString(logger_.get(), "log"));
        if (!args || !kwargs || !log) return false;
        py::Handle done = py::steal(PyObject_Call(log.get(), args.get(), kwargs.get()));
        return static_cast<bool>(done);
    }

    py::Handle logger_;
    py::Handle name_;
};

}  // namespace

bool start_trace(ozu::serial::Port& port, PyObject* name) {
    py::Handle logging = py::steal(PyImport_ImportModule("logging"));
    if (!logging) return false;
    py::Handle logger = py::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "ozu_brix.wire"));
    if (!logger) return false;
    port.set_trace(std::make_shared<LoggingSink>(std::move(logger), py::borrow(name)));
    return true;
}

}  // namespace ozu::brix
