#include "master/master.hpp"
#include "module/subsystems.hpp"

namespace ozu::mew {

bool register_master(PyObject* module_dict) {
    return master::add_master_base(module_dict) && master::add_master(module_dict);
}

}  // namespace ozu::mew
