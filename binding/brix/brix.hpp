// Internal interface between the parts of the ozu_brix module.
#pragma once
#include "runtime/function.hpp"
#include "runtime/handle.hpp"

#include "ozu/serial/port.hpp"

#include <memory>

namespace ozu::brix {

// The port object: owns its core port for its whole life (close() keeps the object usable).
struct PortObject {
    PyObject_HEAD
    ozu::serial::Port* port;   // owned; never changes, stays valid after close()
    PyObject* name;            // the port name as given (str)
    PyObject* timeout;         // the time-outs as given (None, int or float)
    PyObject* write_timeout;
    PyObject* weakrefs;
    bool trace;                // the port logs its traffic (set once, at creation)
};

extern PyTypeObject PortType;
// ozu_brix.PortClosedError, raised by any I/O on a closed port.
extern PyObject* PortClosedError;

// The module's guide and the help() texts of its members, by qualified name (docs.cpp).
extern const char* const kModuleDoc;
extern const py::DocEntry kDocs[];

bool init_port_type(PyObject* module);
// A new port object owning `port`; the settings objects are borrowed.
PyObject* wrap_port(std::unique_ptr<ozu::serial::Port> port, PyObject* name, PyObject* timeout,
                    PyObject* write_timeout);

// The name of a port object, as the error messages give it.
std::string port_name(PyObject* port_object);

// Raises the Python error for a failed operation on (or opening of) the named port; returns null.
PyObject* raise_io_error(const ozu::serial::IoError& err, const std::string& port_name);

// Sends the port's trace records to the logger "ozu_brix.wire"; false with an exception set.
bool start_trace(ozu::serial::Port& port, PyObject* name);

// Adds list_ports() and its PortInfo type to the module.
bool add_list_ports(PyObject* module);

// Parses a time-out setting: None or a finite number >= 0; raises ValueError naming `setting`.
bool parse_timeout(PyObject* value, const char* setting, std::optional<double>& out);

}  // namespace ozu::brix
