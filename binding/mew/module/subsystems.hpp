// Each subsystem adds its classes and functions to the module namespace, in source order.
#pragma once
#include "runtime/function.hpp"
#include "runtime/handle.hpp"

namespace ozu::mew {

bool register_codec(PyObject* module_dict);          // MewStatic
bool register_channel(PyObject* module_dict);        // Channel, _receive_frame_by_serial, MewSerial, DualSerial
bool register_link(PyObject* module_dict);           // MewBase
bool register_slave(PyObject* module_dict);          // MewSlaveNoFeedback, MewSlaveBase
bool register_master(PyObject* module_dict);         // MewMasterBase, MewMaster
bool register_slave_links(PyObject* module_dict);    // MewFullDuplexBase, RandomMewSlaveDemo
// After the classes above: the typed failures of a query, MewError first (master/errors.hpp).
bool register_master_errors(PyObject* module_dict);

// The help() texts of the module's classes and operations, by qualified name (module/docs.cpp).
extern const py::DocEntry kDocs[];

}  // namespace ozu::mew
