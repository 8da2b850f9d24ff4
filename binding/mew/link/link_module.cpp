// Placeholder until the subsystem lands.
#include "module/subsystems.hpp"

namespace ozu::mew {
bool register_link(PyObject*) { return true; }
}  // namespace ozu::mew
