// The ozu_brix module: create_serial_instance(**settings), the SerialPort type, PortClosedError and
// the C API capsule for ozu_mew.
#include "brix.hpp"
#include "runtime/brix_capi.hpp"
#include "runtime/function.hpp"

#include <cmath>
#include <cstring>

namespace ozu::brix {

namespace {

using py::BoundArgs;
using py::Handle;

// Keyword names, in the order their values are checked.
enum Setting { kPort, kTimeout, kWriteTimeout, kBaudrate, kBytesize, kParity, kStopbits, kExclusive, kEncoding,
               kReconnect, kTrace, kSettingCount };
constexpr const char* kSettingNames[kSettingCount] = {"port",     "timeout",   "write_timeout", "baudrate",
                                                      "bytesize", "parity",    "stopbits",      "exclusive",
                                                      "encoding", "reconnect", "trace"};

PyObject* value_error(const char* setting, const char* expected, PyObject* value) {
    PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", setting, expected, value);
    return nullptr;
}

// An int that is not a bool, as a C long; false with ValueError naming the setting otherwise.
bool parse_int(PyObject* value, const char* setting, const char* expected, long& out) {
    if (!PyLong_Check(value) || PyBool_Check(value)) return value_error(setting, expected, value) != nullptr;
    int overflow = 0;
    out = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow != 0 || (out == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return value_error(setting, expected, value) != nullptr;
    }
    return true;
}

// An int or float that is not a bool.
bool parse_number(PyObject* value, double& out) {
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) return false;
    out = PyFloat_AsDouble(value);
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

bool parse_settings(PyObject* kwargs, ozu::serial::Settings& s, PyObject* given[kSettingCount]) {
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            int found = -1;
            for (int i = 0; i < kSettingCount && found < 0; ++i)
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, kSettingNames[i]) == 0) found = i;
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, "create_serial_instance() got an unexpected keyword argument '%S'", key);
                return false;
            }
            given[found] = value;
        }
    }
    PyObject* port = given[kPort];
    if (!port) {
        PyErr_SetString(PyExc_TypeError, "create_serial_instance() missing required keyword argument: 'port'");
        return false;
    }
    if (!PyUnicode_Check(port)) {
        PyErr_Format(PyExc_TypeError, "port must be str, not %.200s", Py_TYPE(port)->tp_name);
        return false;
    }
    Py_ssize_t len = 0;
    const char* name = PyUnicode_AsUTF8AndSize(port, &len);
    if (!name) return false;
    s.port.assign(name, static_cast<std::size_t>(len));

    if (given[kTimeout] && !parse_timeout(given[kTimeout], "timeout", s.timeout)) return false;
    if (given[kWriteTimeout] && !parse_timeout(given[kWriteTimeout], "write_timeout", s.write_timeout)) return false;
    if (PyObject* v = given[kBaudrate]) {
        const char* expected = "a positive integer";
        if (!parse_int(v, "baudrate", expected, s.baudrate)) return false;
        if (s.baudrate <= 0 || s.baudrate > 0x7fffffffL) return value_error("baudrate", expected, v) != nullptr;
    }
    if (PyObject* v = given[kBytesize]) {
        const char* expected = "5, 6, 7 or 8";
        long bytesize = 0;
        if (!parse_int(v, "bytesize", expected, bytesize)) return false;
        if (bytesize < 5 || bytesize > 8) return value_error("bytesize", expected, v) != nullptr;
        s.bytesize = static_cast<int>(bytesize);
    }
    if (PyObject* v = given[kParity]) {
        const char* expected = "one of 'N', 'E', 'O', 'M', 'S'";
        Py_ssize_t plen = 0;
        const char* text = PyUnicode_Check(v) ? PyUnicode_AsUTF8AndSize(v, &plen) : nullptr;
        if (!text) PyErr_Clear();
        if (!text || plen != 1 || std::strchr("NEOMS", text[0]) == nullptr)
            return value_error("parity", expected, v) != nullptr;
        s.parity = text[0];
    }
    if (PyObject* v = given[kStopbits]) {
        double stopbits = 0;
        if (!parse_number(v, stopbits) || (stopbits != 1 && stopbits != 1.5 && stopbits != 2))
            return value_error("stopbits", "1, 1.5 or 2", v) != nullptr;
        s.stopbits = stopbits;
    }
    if (PyObject* v = given[kExclusive]) {
        if (!PyBool_Check(v)) return value_error("exclusive", "True or False", v) != nullptr;
        s.exclusive = v == Py_True;
    }
    if (PyObject* v = given[kReconnect]; v && v != Py_None) {
        double seconds = 0;
        if (!parse_number(v, seconds) || !std::isfinite(seconds) || seconds <= 0)
            return value_error("reconnect", "None or a number of seconds > 0", v) != nullptr;
        s.reconnect = seconds;
    }
    if (PyObject* v = given[kTrace]; v && !PyBool_Check(v)) return value_error("trace", "True or False", v) != nullptr;
    return true;  // encoding: accepted for the channels' sake; ports move bytes, not text
}

PyObject* create_serial_instance_impl(BoundArgs& args) {
    ozu::serial::Settings settings;
    PyObject* given[kSettingCount] = {};
    if (!parse_settings(args.kwargs.get(), settings, given)) return nullptr;
    Handle default_timeout;
    if (!given[kTimeout]) {
        default_timeout = py::steal(PyFloat_FromDouble(*settings.timeout));
        if (!default_timeout) return nullptr;
    }
    ozu::serial::IoError err;
    std::unique_ptr<ozu::serial::Port> port;
    {
        py::GilRelease nogil;  // opening may resolve a host name or wait for a connection (Ctrl-C ends it)
        port = ozu::serial::open_port(settings, err, [&] { return nogil.run_signal_handlers(); });
    }
    if (!port) return PyErr_Occurred() ? nullptr : raise_io_error(err, settings.port);
    // The name as plain text, so that `port` is a str even when a str subclass was given.
    Handle name = py::steal(PyUnicode_FromObject(given[kPort]));
    if (!name) return nullptr;
    if (given[kTrace] == Py_True && !start_trace(*port, name.get())) return nullptr;
    PyObject* object = wrap_port(std::move(port), name.get(), given[kTimeout] ? given[kTimeout] : default_timeout.get(),
                                 given[kWriteTimeout] ? given[kWriteTimeout] : Py_None);
    if (object) reinterpret_cast<PortObject*>(object)->trace = given[kTrace] == Py_True;
    return object;
}

const py::FunctionDecl kCreate = {.name = "create_serial_instance", .params = {}, .impl = create_serial_instance_impl, .star_kwargs = true};

ozu::serial::Port* core_port(PyObject* port_object) { return reinterpret_cast<PortObject*>(port_object)->port; }

PyObject* raise_port_error(PyObject* port_object, const ozu::serial::IoError& err) {
    return raise_io_error(err, port_name(port_object));
}

const CApi kCApi = {kCApiVersion, &PortType, core_port, raise_port_error};

PyModuleDef brix_module_def = {PyModuleDef_HEAD_INIT, "ozu_brix", kModuleDoc, -1,
                               nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

bool parse_timeout(PyObject* value, const char* setting, std::optional<double>& out) {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    double seconds = 0;
    if (!parse_number(value, seconds) || !std::isfinite(seconds) || seconds < 0) {
        value_error(setting, "None or a number of seconds >= 0", value);
        return false;
    }
    out = seconds;
    return true;
}

}  // namespace ozu::brix

PyMODINIT_FUNC PyInit_ozu_brix() {
    using namespace ozu::brix;
    if (!ozu::py::init_function_type()) return nullptr;
    ozu::py::use_docs(kDocs);
    ozu::py::Handle module = ozu::py::steal(PyModule_Create(&brix_module_def));
    if (!module || !init_port_type(module.get())) return nullptr;
    if (!PortClosedError) {
        PortClosedError = PyErr_NewExceptionWithDoc(
            "ozu_brix.PortClosedError", "Raised by any I/O on a closed port (errno EBADF).", PyExc_OSError, nullptr);
        if (!PortClosedError) return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "PortClosedError", PortClosedError) < 0) return nullptr;
    ozu::py::Handle fn = ozu::py::make_function(kCreate, "create_serial_instance", "ozu_brix");
    if (!fn || PyModule_AddObjectRef(module.get(), "create_serial_instance", fn.get()) < 0) return nullptr;
    ozu::py::Handle capsule = ozu::py::steal(
        PyCapsule_New(const_cast<CApi*>(&kCApi), kCapsuleName, nullptr));
    if (!capsule || PyModule_AddObjectRef(module.get(), "_C_API", capsule.get()) < 0) return nullptr;
    ozu::py::Handle max_frame = ozu::py::steal(PyLong_FromSize_t(ozu::serial::kMaxFrameLength));
    if (!max_frame || PyModule_AddObjectRef(module.get(), "MAX_FRAME_LENGTH", max_frame.get()) < 0) return nullptr;
    if (!add_list_ports(module.get())) return nullptr;
    return module.release();
}
