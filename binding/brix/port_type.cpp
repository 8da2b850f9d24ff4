// ozu_brix.SerialPort: the port objects that create_serial_instance returns. A C type, so that
// ozu_mew can recognise its objects exactly (through the capsule) and read frames without the GIL.
#include "brix.hpp"

#include "ozu/serial/sliced_read.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace ozu::brix {

namespace {

using ozu::serial::IoError;
using ozu::serial::Port;
// A read(size) grows its result as bytes arrive, at most this much per step.
constexpr std::size_t kReadStep = 64 * 1024;

PortObject* as_port(PyObject* self) { return reinterpret_cast<PortObject*>(self); }
Port& core(PyObject* self) { return *as_port(self)->port; }

}  // namespace

std::string port_name(PyObject* self) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(as_port(self)->name, &len);
    if (!text) {
        PyErr_Clear();
        return core(self).name();
    }
    return std::string(text, static_cast<std::size_t>(len));
}

namespace {

PyObject* raise_for(PyObject* self, const IoError& err) { return raise_io_error(err, port_name(self)); }

PyObject* raise_closed(PyObject* self) {
    IoError err;
    err.kind = ozu::serial::ErrorKind::PortClosed;
    err.code = EBADF;
    err.message = "port is closed";
    return raise_for(self, err);
}

// ---------------------------------------------------------------- life cycle

void port_dealloc(PyObject* self) {
    PortObject* p = as_port(self);
    if (p->weakrefs) PyObject_ClearWeakRefs(self);
    if (p->port) {
        {
            py::GilRelease nogil;  // closing a serial device may wait for its output to drain
            p->port->close();
        }
        delete p->port;
        p->port = nullptr;
    }
    Py_CLEAR(p->name);
    Py_CLEAR(p->timeout);
    Py_CLEAR(p->write_timeout);
    Py_TYPE(self)->tp_free(self);
}

PyObject* port_repr(PyObject* self) {
    PortObject* p = as_port(self);
    const ozu::serial::Settings s = p->port->settings();
    const char parity[2] = {s.parity, '\0'};
    py::Handle stopbits = py::steal(s.stopbits == 1.5 ? PyFloat_FromDouble(1.5)
                                                      : PyLong_FromLong(static_cast<long>(s.stopbits)));
    if (!stopbits) return nullptr;
    return PyUnicode_FromFormat(
        "SerialPort(port=%R, baudrate=%ld, bytesize=%d, parity='%s', stopbits=%R, timeout=%R, write_timeout=%R, "
        "exclusive=%s, is_open=%s)",
        p->name, s.baudrate, s.bytesize, parity, stopbits.get(), p->timeout, p->write_timeout,
        s.exclusive ? "True" : "False", p->port->is_open() ? "True" : "False");
}

// ---------------------------------------------------------------- reading and writing

// read(size=1): at most size bytes; waits up to the read time-out for all of them together and
// returns what arrived, b"" when nothing did.
PyObject* port_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw > 1) {
        PyErr_Format(PyExc_TypeError, "read() takes at most 1 argument (%zd given)", nargs + nkw);
        return nullptr;
    }
    PyObject* size_obj = nargs == 1 ? args[0] : nullptr;
    if (nkw == 1) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
        if (PyUnicode_CompareWithASCIIString(key, "size") != 0) {
            PyErr_Format(PyExc_TypeError, "read() got an unexpected keyword argument '%U'", key);
            return nullptr;
        }
        size_obj = args[0];
    }
    Py_ssize_t size = 1;
    if (size_obj) {
        if (!PyIndex_Check(size_obj)) {
            PyErr_Format(PyExc_TypeError, "read() argument 'size' must be int, not %.200s", Py_TYPE(size_obj)->tp_name);
            return nullptr;
        }
        size = PyNumber_AsSsize_t(size_obj, PyExc_OverflowError);
        if (size == -1 && PyErr_Occurred()) return nullptr;
        if (size < 0) {
            PyErr_Format(PyExc_ValueError, "read() size must be >= 0, not %zd", size);
            return nullptr;
        }
    }
    Port& port = core(self);
    if (size == 0) {
        if (!port.is_open()) return raise_closed(self);
        return PyBytes_FromStringAndSize(nullptr, 0);
    }

    const std::size_t want = static_cast<std::size_t>(size);
    std::string out;
    out.resize(std::min(want, kReadStep));
    // Bytes already buffered need no wait and no GIL release.
    std::size_t have = port.read_buffered(reinterpret_cast<std::uint8_t*>(out.data()), out.size());

    const serial::SlicedWait wait(port.timeout());
    while (have < want) {
        if (out.size() == have) out.resize(std::min(want, have + kReadStep));
        IoError err;
        std::ptrdiff_t got;
        {
            py::GilRelease nogil;
            got = serial::read_sliced(port, reinterpret_cast<std::uint8_t*>(out.data()) + have, out.size() - have,
                                      wait, err, [&] { return nogil.run_signal_handlers(); });
        }
        if (got == serial::kReadStopped) return nullptr;
        if (got == serial::kReadFailed) {
            if (have == 0) return raise_for(self, err);
            break;  // return what arrived; the condition shows again on the next call
        }
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
    }
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(have));
}

// write(data): writes all of a bytes-like object, returns the number of bytes.
PyObject* port_write(PyObject* self, PyObject* data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return nullptr;
    IoError err;
    std::ptrdiff_t put;
    {
        // Waits in slices, running the signal handlers between them, so Ctrl-C ends a write that
        // the other side does not take.
        py::GilRelease nogil;
        put = core(self).write(static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len), err,
                               [&] { return nogil.run_signal_handlers(); });
    }
    Py_ssize_t len = view.len;
    PyBuffer_Release(&view);
    if (put == serial::kWriteStopped) return nullptr;
    if (put < 0) return raise_for(self, err);
    return PyLong_FromSsize_t(len);
}

PyObject* port_reset_input_buffer(PyObject* self, PyObject*) {
    IoError err;
    bool ok;
    {
        py::GilRelease nogil;
        ok = core(self).reset_input_buffer(err);
    }
    if (!ok) return raise_for(self, err);
    Py_RETURN_NONE;
}

PyObject* port_reset_output_buffer(PyObject* self, PyObject*) {
    IoError err;
    bool ok;
    {
        py::GilRelease nogil;
        ok = core(self).reset_output_buffer(err);
    }
    if (!ok) return raise_for(self, err);
    Py_RETURN_NONE;
}

PyObject* port_close(PyObject* self, PyObject*) {
    {
        py::GilRelease nogil;
        core(self).close();
    }
    Py_RETURN_NONE;
}

PyObject* port_fileno(PyObject* self, PyObject*) {
    Port& port = core(self);
    if (!port.is_open()) return raise_closed(self);
    long fd = port.native_handle();
    if (fd < 0) {
        py::Handle io = py::steal(PyImport_ImportModule("io"));
        py::Handle unsupported = io ? py::steal(PyObject_GetAttrString(io.get(), "UnsupportedOperation")) : py::Handle();
        if (!unsupported) return nullptr;
        PyErr_Format(unsupported.get(), "%s has no file descriptor", port.name().c_str());
        return nullptr;
    }
    return PyLong_FromLong(fd);
}

PyObject* port_enter(PyObject* self, PyObject*) {
    if (!core(self).is_open()) return raise_closed(self);
    return Py_NewRef(self);
}

PyObject* port_exit(PyObject* self, PyObject* const*, Py_ssize_t) { return port_close(self, nullptr); }

// ---------------------------------------------------------------- attributes

PyObject* get_in_waiting(PyObject* self, void*) {
    IoError err;
    std::ptrdiff_t count = core(self).in_waiting(err);
    if (count < 0) return raise_for(self, err);
    return PyLong_FromSsize_t(count);
}

PyObject* get_port(PyObject* self, void*) { return Py_NewRef(as_port(self)->name); }
PyObject* get_is_open(PyObject* self, void*) { return PyBool_FromLong(core(self).is_open()); }
PyObject* get_timeout(PyObject* self, void*) { return Py_NewRef(as_port(self)->timeout); }
PyObject* get_write_timeout(PyObject* self, void*) { return Py_NewRef(as_port(self)->write_timeout); }
PyObject* get_baudrate(PyObject* self, void*) { return PyLong_FromLong(core(self).settings().baudrate); }
PyObject* get_bytesize(PyObject* self, void*) { return PyLong_FromLong(core(self).settings().bytesize); }
PyObject* get_exclusive(PyObject* self, void*) { return PyBool_FromLong(core(self).settings().exclusive); }

PyObject* get_parity(PyObject* self, void*) {
    const char parity = core(self).settings().parity;
    return PyUnicode_FromStringAndSize(&parity, 1);
}

PyObject* get_connected(PyObject* self, void*) { return PyBool_FromLong(core(self).connected()); }
PyObject* get_trace(PyObject* self, void*) { return PyBool_FromLong(as_port(self)->trace); }

PyObject* get_reconnects(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(core(self).reconnects()));
}

PyObject* get_reconnect(PyObject* self, void*) {
    const std::optional<double> seconds = core(self).settings().reconnect;
    if (!seconds) Py_RETURN_NONE;
    return PyFloat_FromDouble(*seconds);
}

PyObject* get_stopbits(PyObject* self, void*) {
    double stopbits = core(self).settings().stopbits;
    return stopbits == 1.5 ? PyFloat_FromDouble(1.5) : PyLong_FromLong(static_cast<long>(stopbits));
}

int set_timeout(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete timeout");
        return -1;
    }
    std::optional<double> timeout;
    if (!parse_timeout(value, "timeout", timeout)) return -1;
    core(self).set_timeout(timeout);
    Py_SETREF(as_port(self)->timeout, Py_NewRef(value));
    return 0;
}

PyMethodDef port_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(port_read)), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"write", port_write, METH_O, nullptr},
    {"reset_input_buffer", port_reset_input_buffer, METH_NOARGS, nullptr},
    {"reset_output_buffer", port_reset_output_buffer, METH_NOARGS, nullptr},
    {"close", port_close, METH_NOARGS, nullptr},
    {"fileno", port_fileno, METH_NOARGS, nullptr},
    {"__enter__", port_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(port_exit)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef port_getset[] = {
    {"port", get_port, nullptr, nullptr, nullptr},
    {"in_waiting", get_in_waiting, nullptr, nullptr, nullptr},
    {"is_open", get_is_open, nullptr, nullptr, nullptr},
    {"timeout", get_timeout, set_timeout, nullptr, nullptr},
    {"write_timeout", get_write_timeout, nullptr, nullptr, nullptr},
    {"baudrate", get_baudrate, nullptr, nullptr, nullptr},
    {"bytesize", get_bytesize, nullptr, nullptr, nullptr},
    {"parity", get_parity, nullptr, nullptr, nullptr},
    {"stopbits", get_stopbits, nullptr, nullptr, nullptr},
    {"exclusive", get_exclusive, nullptr, nullptr, nullptr},
    {"reconnect", get_reconnect, nullptr, "Seconds between attempts to reopen a vanished device, or None.", nullptr},
    {"trace", get_trace, nullptr, "Whether the port logs its traffic to the logger 'ozu_brix.wire'.", nullptr},
    {"connected", get_connected, nullptr,
     "Whether the device is there (False while a reconnecting port waits for it, and while a listening port "
     "has no client).",
     nullptr},
    {"reconnects", get_reconnects, nullptr, "How many times the device came back.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject PortType = {PyVarObject_HEAD_INIT(nullptr, 0) "ozu_brix.SerialPort"};

bool init_port_type(PyObject* module) {
    PortType.tp_basicsize = sizeof(PortObject);
    PortType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PortType.tp_doc = py::find_doc("SerialPort");
    for (PyMethodDef* m = port_methods; m->ml_name; ++m)
        if (const char* doc = py::find_doc(("SerialPort." + std::string(m->ml_name)).c_str())) m->ml_doc = doc;
    for (PyGetSetDef* g = port_getset; g->name; ++g)
        if (const char* doc = py::find_doc(("SerialPort." + std::string(g->name)).c_str())) g->doc = doc;
    PortType.tp_dealloc = port_dealloc;
    PortType.tp_repr = port_repr;
    PortType.tp_methods = port_methods;
    PortType.tp_getset = port_getset;
    PortType.tp_weaklistoffset = offsetof(PortObject, weakrefs);
    if (PyType_Ready(&PortType) < 0) return false;
    return PyModule_AddObjectRef(module, "SerialPort", reinterpret_cast<PyObject*>(&PortType)) == 0;
}

PyObject* wrap_port(std::unique_ptr<ozu::serial::Port> port, PyObject* name, PyObject* timeout,
                    PyObject* write_timeout) {
    PortObject* p = PyObject_New(PortObject, &PortType);
    if (!p) return nullptr;  // the port closes as the unique_ptr goes
    p->port = port.release();
    p->name = Py_NewRef(name);
    p->timeout = Py_NewRef(timeout);
    p->write_timeout = Py_NewRef(write_timeout);
    p->weakrefs = nullptr;
    p->trace = false;
    return reinterpret_cast<PyObject*>(p);
}

}  // namespace ozu::brix
