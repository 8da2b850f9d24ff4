// Placeholder entry of ozu_brix until the serial layer lands.
#include "runtime/class_builder.hpp"

namespace {
using namespace ozu::py;

PyObject* create_serial_instance_impl(BoundArgs&) {
    PyErr_SetString(PyExc_OSError,
                    "create_serial_instance: no device kinds are built yet (planned: /dev/tty*, COM<n>, "
                    "brix://HOST:PORT, brix:pipe:NAME:a|b)");
    return nullptr;
}

const FunctionSpec kCreate = {"create_serial_instance", {}, create_serial_instance_impl, nullptr, false, true};

PyModuleDef brix_module_def = {PyModuleDef_HEAD_INIT, "ozu_brix", "Serial ports for ozu_mew.", -1,
                               nullptr, nullptr, nullptr, nullptr, nullptr};
}  // namespace

PyMODINIT_FUNC PyInit_ozu_brix() {
    if (!init_function_type()) return nullptr;
    Handle module = steal(PyModule_Create(&brix_module_def));
    if (!module) return nullptr;
    Handle fn = make_function(kCreate, "create_serial_instance", "ozu_brix");
    if (!fn || PyModule_AddObjectRef(module.get(), "create_serial_instance", fn.get()) < 0) return nullptr;
    return module.release();
}
