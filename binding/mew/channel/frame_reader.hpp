// The module-level frame reader `_receive_frame_by_serial`, shared by both serial channels.
#pragma once
#include "runtime/function.hpp"

namespace ozu::mew::channel {

// Signature of `_receive_frame_by_serial(serial)`.
extern const py::FunctionSpec kReceiveFrameBySerial;

// Reads one frame, up to and including its carriage return, from a serial port object and
// returns it as text (new reference), or null with IOError or the port's own error set.
PyObject* receive_frame_by_serial(PyObject* serial);

}  // namespace ozu::mew::channel
