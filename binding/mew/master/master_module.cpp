#include "master/errors.hpp"
#include "master/master.hpp"
#include "module/subsystems.hpp"

namespace ozu::mew {

bool register_master(PyObject* module_dict) {
    return master::add_master_base(module_dict) && master::add_master(module_dict);
}

bool register_master_errors(PyObject* module_dict) { return master::add_error_classes(module_dict); }

}  // namespace ozu::mew
