// What the channel classes tell the rest of the channel code about themselves.
#pragma once
#include "runtime/handle.hpp"

namespace ozu::mew::channel {

// True when obj is exactly an instance of the module's MewSerial class and nobody has assigned to
// that class (or rebound the module's name for it) since import.
bool is_untouched_mew_serial(PyObject* obj) noexcept;

// True when obj is the module's own `_receive_frame_by_serial` function.
bool is_module_frame_reader(PyObject* obj) noexcept;

}  // namespace ozu::mew::channel
