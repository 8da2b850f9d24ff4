// The module-level frame reader `_receive_frame_by_serial`, shared by both serial channels.
#pragma once
#include "ozu/serial/port.hpp"
#include "runtime/function.hpp"

#include <cstddef>
#include <string>

namespace ozu::mew::channel {

// Signature of `_receive_frame_by_serial(serial)`.
extern const py::FunctionDecl kReceiveFrameBySerial;

// Reads one frame, up to and including its carriage return, from a serial port object and
// returns it as text (new reference), or null with IOError or the port's own error set.
PyObject* receive_frame_by_serial(PyObject* serial);

// What the latest frame read on this thread (by `_receive_frame_by_serial`, also through a
// channel's receive_frame()) threw away before its frame: the first bytes, and how many in all.
struct DroppedBytes {
    std::string head;
    std::size_t count = 0;
};
DroppedBytes take_dropped() noexcept;

// Looks for ozu_brix's C API; without it (or without its error helper) every port goes through
// its Python read(). Never fails.
void init_native_ports();

// The core port of obj when obj is exactly an ozu_brix port object usable natively, else null.
serial::Port* native_port(PyObject* obj) noexcept;

}  // namespace ozu::mew::channel
