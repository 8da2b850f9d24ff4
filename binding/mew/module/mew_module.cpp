// Entry of the ozu_mew module: binds the imported names, then creates the classes in order.
#include "module/subsystems.hpp"
#include "runtime/class_builder.hpp"
#include "runtime/module_globals.hpp"

namespace {

using ozu::py::Handle;

struct Import {
    const char* module;
    const char* name;
    const char* alias;
};

// Bound first, in this order.
constexpr Import kImports[] = {
    {"ozu_brix", "create_serial_instance", "create_serial_instance"},
    {"abc", "ABC", "ABC"},
    {"abc", "abstractmethod", "abstractmethod"},
    {"queue", "Queue", "Queue"},
    {"queue", "Empty", "Empty"},
    {"random", nullptr, "_random"},
    {"struct", "pack", "pack"},
    {"struct", "unpack", "unpack"},
    {"sys", "stderr", "_err"},
    {"threading", "Lock", "Lock"},
    {"threading", "Thread", "Thread"},
    {"time", "sleep", "sleep"},
    {"typing", "List", "List"},
    {"typing", "Union", "Union"},
    {"typing", "Optional", "_Optional"},
};

PyModuleDef mew_module_def = {
    PyModuleDef_HEAD_INIT, "ozu_mew", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_ozu_mew() {
    if (!ozu::py::init_function_type()) return nullptr;
    Handle module = ozu::py::steal(PyModule_Create(&mew_module_def));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    ozu::py::set_module_dict(dict);
    ozu::py::use_docs(ozu::mew::kDocs);
    for (const Import& imp : kImports) {
        Handle value = imp.name ? ozu::py::import_from(imp.module, imp.name)
                                : ozu::py::steal(PyImport_ImportModule(imp.module));
        if (!value || PyDict_SetItemString(dict, imp.alias, value.get()) < 0) return nullptr;
    }
    if (!ozu::mew::register_codec(dict) || !ozu::mew::register_channel(dict) || !ozu::mew::register_link(dict) ||
        !ozu::mew::register_slave(dict) || !ozu::mew::register_master(dict) ||
        !ozu::mew::register_slave_links(dict) || !ozu::mew::register_master_errors(dict))
        return nullptr;
    return module.release();
}
