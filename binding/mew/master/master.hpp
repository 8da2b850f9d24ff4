// The master classes: MewMasterBase (the query engine) and MewMaster (typed operations).
#pragma once
#include "runtime/handle.hpp"

namespace ozu::mew::master {

// Each builds its class and binds it in the module namespace.
bool add_master_base(PyObject* module_dict);
bool add_master(PyObject* module_dict);

// str(self.dev_handle.port): how a master names its link in messages.
py::Handle port_text_of(PyObject* self);

}  // namespace ozu::mew::master
