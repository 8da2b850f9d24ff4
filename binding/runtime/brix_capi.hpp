// The C API that ozu_brix exports in a capsule, so ozu_mew can recognise ozu_brix port objects by
// type identity and read frames from their core port without the GIL (with the core's frame reader,
// which both modules link).
//
// Usage (GIL held):
//     const ozu::brix::CApi* api = ozu::brix::import_brix_capi();   // null + exception on failure
//     if (Py_IS_TYPE(obj, api->port_type)) {
//         ozu::serial::Port* port = api->core_port(obj);   // valid while a reference to obj is held
//         ... Handle keep = borrow(obj); { GilRelease nogil; serial::read_frame_from(...); } ...
//     }
// A port object never changes its core port; after close() the core port stays valid (operations
// fail with ErrorKind::PortClosed) until the object is destroyed.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ozu/serial/frame_reader.hpp"
#include "ozu/serial/port.hpp"

namespace ozu::brix {

inline constexpr const char* kCapsuleName = "ozu_brix._C_API";
inline constexpr unsigned kCApiVersion = 2;

struct CApi {
    unsigned version;  // kCApiVersion of the exporting module
    PyTypeObject* port_type;  // exact type of the port objects (not subclassable)
    // The core port of a port object of port_type (no checks, never null).
    ozu::serial::Port* (*core_port)(PyObject* port_object);
    // Sets the exception that the port object's own read() raises for `err` and returns null (GIL
    // held), so a frame read natively fails exactly as one read through read().
    PyObject* (*raise_port_error)(PyObject* port_object, const ozu::serial::IoError& err);
};

// Imports the capsule once (GIL held). Returns null with an exception set when ozu_brix cannot be
// imported or exports an incompatible version; a later call tries again.
inline const CApi* import_brix_capi() {
    static const CApi* s_api = nullptr;
    if (s_api) return s_api;
    auto* api = static_cast<const CApi*>(PyCapsule_Import(kCapsuleName, 0));
    if (!api) return nullptr;
    if (api->version != kCApiVersion) {
        PyErr_Format(PyExc_ImportError, "ozu_brix C API version %u, expected %u", api->version, kCApiVersion);
        return nullptr;
    }
    s_api = api;
    return s_api;
}

}  // namespace ozu::brix
