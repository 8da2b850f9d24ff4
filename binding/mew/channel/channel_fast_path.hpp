// Native frame reading for the link engine: when a link's channel is exactly a MewSerial or a
// DualSerial whose read port is an ozu_brix port, the frame can be read in C++ without the GIL,
// with the same result and the same errors as `channel.receive_frame()`.
#pragma once
#include "ozu/serial/port.hpp"
#include "runtime/handle.hpp"

namespace ozu::mew::channel {

// The core port that `channel` reads from when it is exactly the module's MewSerial or DualSerial
// (class untouched since import, `_receive_frame_by_serial` not rebound, no instance attribute
// named receive_frame) and that port (`_serial`, or the pair's `_channel_to_read`) is exactly an
// ozu_brix port object; otherwise null, with no exception set. GIL
// held. (The first character of a frame comes from `channel.read()`, which decodes with the
// channel's `encoding`: callers that read it natively check `read` themselves.)
//
// On success keep_alive owns the port object. The caller must hold keep_alive for as long as it
// uses the returned port, in particular while it reads without the GIL: the port object owns the
// core port, and another thread may drop the channel's last reference to it at any time.
serial::Port* exact_serial_read_port(PyObject* channel, py::Handle& keep_alive);

// data.decode(encoding) for bytes `data` and an encoding given as text, and text.encode(encoding):
// what those methods return or raise, the channels' default "latin" taken without a trip through
// the codec registry. Null with an exception set on failure.
py::Handle decode_bytes(PyObject* data, PyObject* encoding);
py::Handle encode_text(PyObject* text, PyObject* encoding);

// `channel.receive_frame()` for a channel accepted by exact_serial_read_port: reads the frame from
// `port` with the GIL released and returns it as text, or null with the very exception that
// `_receive_frame_by_serial(port_object)` raises. GIL held on entry and on return.
PyObject* receive_frame_native(PyObject* port_object, serial::Port& port);

// What a reader that may be told to stop looks at between two slices of a wait: 1 to go on
// waiting, 0 to give the frame up, -1 with an exception set.
using KeepReading = int (*)(void* context);

// receive_frame_native() for the link's receiver: while the frame is waited for, `keep_reading`
// is asked every `slice` seconds (with the GIL held) whether the run still wants it. When it
// answers 0, the bytes collected so far are recorded as thrown away (take_dropped()), `abandoned`
// is set and null is returned with no exception set.
PyObject* receive_frame_native(PyObject* port_object, serial::Port& port, double slice, KeepReading keep_reading,
                               void* context, bool& abandoned);

}  // namespace ozu::mew::channel
