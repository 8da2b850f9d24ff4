// ozu_brix.list_ports() and the PortInfo records it returns.
#include "brix.hpp"
#include "runtime/function.hpp"

#include "ozu/serial/port_list.hpp"

namespace ozu::brix {

namespace {

using py::BoundArgs;
using py::Handle;

PyTypeObject* port_info_type = nullptr;

PyStructSequence_Field kPortInfoFields[] = {
    {"device", "the name create_serial_instance() takes as port"},
    {"description", "the product or the driver's name for the port; 'n/a' when unknown"},
    {"hwid", "the hardware id: 'USB VID:PID=0403:6001 SER=... LOCATION=...', the bus's id, or 'n/a'"},
    {"by_id", "the stable /dev/serial/by-id links to the port (Linux), as a tuple of str"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kPortInfoDesc = {
    "ozu_brix.PortInfo", "A serial port of the machine, as list_ports() tells of it.", kPortInfoFields, 4};

Handle text(const std::string& s) {
    return py::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

Handle port_info(const ozu::serial::PortInfo& info) {
    Handle record = py::steal(PyStructSequence_New(port_info_type));
    if (!record) return {};
    Handle links = py::steal(PyTuple_New(static_cast<Py_ssize_t>(info.by_id.size())));
    if (!links) return {};
    for (std::size_t i = 0; i < info.by_id.size(); ++i) {
        Handle link = text(info.by_id[i]);
        if (!link) return {};
        PyTuple_SET_ITEM(links.get(), static_cast<Py_ssize_t>(i), link.release());
    }
    Handle fields[] = {text(info.device), text(info.description), text(info.hwid), std::move(links)};
    for (int i = 0; i < 4; ++i) {
        if (!fields[i]) return {};
        PyStructSequence_SetItem(record.get(), i, fields[i].release());
    }
    return record;
}

// A root setting: None keeps the default, else a str.
bool root_setting(PyObject* value, std::string& out) {
    if (value == Py_None) return true;
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(value, &len);
    if (!s) return false;
    out.assign(s, static_cast<std::size_t>(len));
    return true;
}

PyObject* list_ports_impl(BoundArgs& args) {
    auto [sysfs_root, dev_root] = args.take<2>();
    ozu::serial::PortListOptions options;
    if (!root_setting(sysfs_root, options.sysfs_root) || !root_setting(dev_root, options.dev_root)) return nullptr;
    std::vector<ozu::serial::PortInfo> ports;
    ozu::serial::IoError err;
    bool ok;
    {
        py::GilRelease nogil;  // sysfs and SetupAPI walks touch the file system and drivers
        ok = ozu::serial::list_ports(ports, err, options);
    }
    if (!ok) {
        if (err.kind == ozu::serial::ErrorKind::Unsupported) {
            PyErr_SetString(PyExc_ValueError, err.message.c_str());
            return nullptr;
        }
        return raise_io_error(err, options.sysfs_root);
    }
    Handle list = py::steal(PyList_New(static_cast<Py_ssize_t>(ports.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        Handle record = port_info(ports[i]);
        if (!record) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record.release());
    }
    return list.release();
}

const py::FunctionDecl kListPorts = {
    "list_ports",
    {{"sysfs_root", py::Check::Str, py::Default::none()}, {"dev_root", py::Check::Str, py::Default::none()}},
    list_ports_impl,
    nullptr};

}  // namespace

bool add_list_ports(PyObject* module) {
    if (!port_info_type) {
        port_info_type = PyStructSequence_NewType(&kPortInfoDesc);
        if (!port_info_type) return false;
    }
    if (PyModule_AddObjectRef(module, "PortInfo", reinterpret_cast<PyObject*>(port_info_type)) < 0) return false;
    Handle fn = py::make_function(kListPorts, "list_ports", "ozu_brix");
    return fn && PyModule_AddObjectRef(module, "list_ports", fn.get()) == 0;
}

}  // namespace ozu::brix
