// The channels: the abstract `Channel`, the frame reader, and the serial channels `MewSerial`
// (one port both ways) and `DualSerial` (a write port and a read port).
#include "channel/channel_fast_path.hpp"
#include "channel/frame_reader.hpp"
#include "codec/codec_support.hpp"
#include "module/subsystems.hpp"
#include "runtime/calls.hpp"
#include "runtime/class_builder.hpp"
#include "runtime/module_globals.hpp"

#include <cstring>

namespace ozu::mew {
namespace channel {
namespace {

using py::BoundArgs;
using py::Check;
using py::Default;
using py::FunctionDecl;
using py::Handle;
using py::borrow;
using py::steal;

PyObject* g_mew_serial = nullptr;   // the classes as created, for super() and the fast path
PyObject* g_dual_serial = nullptr;
py::ClassGuard g_mew_serial_guard;
py::ClassGuard g_dual_serial_guard;

Handle get(PyObject* obj, PyObject* name) { return steal(PyObject_GetAttr(obj, name)); }

PyObject* none_result(Handle result) { return result ? Py_NewRef(Py_None) : nullptr; }

// Results declared as text or integer let None through and refuse anything else.
PyObject* str_result(Handle value) { return codec::expect_str(std::move(value)).release(); }
PyObject* int_result(Handle value) { return codec::expect_int(std::move(value)).release(); }

// The UTF-8 name of an encoding given as text, as str.encode/bytes.decode accept it; null when the
// name is not text (the caller then calls the method itself, which raises its own error).
const char* encoding_name(PyObject* encoding) {
    if (!PyUnicode_Check(encoding)) return nullptr;
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(encoding, &size);
    if (name && std::strlen(name) != static_cast<std::size_t>(size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return nullptr;
    }
    return name;
}

// Whether `encoding` is "latin" and the codec registry resolves that alias to the Latin-1 codec
// itself. The interpreter takes Latin-1 directly only under its canonical names, so for this alias
// (the channels' default) every encode and decode would otherwise look the codec up by name.
bool is_latin1_alias(PyObject* encoding) {
    if (!PyUnicode_CheckExact(encoding) || PyUnicode_CompareWithASCIIString(encoding, "latin") != 0) return false;
    static int resolved = -1;  // once per process: the registry keeps what it resolved
    if (resolved < 0) {
        py::ErrorGuard keep;
        Handle decoder = steal(PyCodec_Decoder("latin")), latin1_decoder = steal(PyCodec_Decoder("latin-1"));
        Handle encoder = steal(PyCodec_Encoder("latin")), latin1_encoder = steal(PyCodec_Encoder("latin-1"));
        resolved = decoder && encoder && decoder.get() == latin1_decoder.get() && encoder.get() == latin1_encoder.get();
        PyErr_Clear();
    }
    return resolved == 1;
}

// data.encode(encoding) for text data.
Handle encode(PyObject* data, PyObject* encoding) {
    if (!PyUnicode_Check(encoding)) return steal(PyObject_CallMethodOneArg(data, OZU_ID("encode"), encoding));
    if (PyUnicode_Check(data) && is_latin1_alias(encoding)) return steal(PyUnicode_AsLatin1String(data));
    const char* name = encoding_name(encoding);
    return name ? steal(PyUnicode_AsEncodedString(data, name, nullptr)) : Handle();
}

// data.decode(encoding) for a byte string and an encoding given as text.
Handle decode(PyObject* data, PyObject* encoding) {
    if (PyBytes_CheckExact(data) && is_latin1_alias(encoding))
        return steal(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data), nullptr));
    const char* name = encoding_name(encoding);
    return name ? steal(PyUnicode_FromEncodedObject(data, name, nullptr)) : Handle();
}

// port.read(size).decode(channel.encoding)
PyObject* read_decoded(PyObject* channel, PyObject* port, PyObject* size) {
    Handle data = steal(PyObject_CallMethodOneArg(port, OZU_ID("read"), size));
    if (!data) return nullptr;
    if (PyBytes_CheckExact(data.get())) {
        Handle encoding = get(channel, OZU_ID("encoding"));
        if (!encoding) return nullptr;
        if (PyUnicode_Check(encoding.get())) return str_result(decode(data.get(), encoding.get()));
        return str_result(steal(PyObject_CallMethodOneArg(data.get(), OZU_ID("decode"), encoding.get())));
    }
    Handle decode = get(data.get(), OZU_ID("decode"));
    if (!decode) return nullptr;
    Handle encoding = get(channel, OZU_ID("encoding"));
    if (!encoding) return nullptr;
    return str_result(steal(PyObject_CallOneArg(decode.get(), encoding.get())));
}

// port.write(data.encode(channel.encoding))
PyObject* write_encoded(PyObject* channel, PyObject* port, PyObject* data) {
    Handle write = get(port, OZU_ID("write"));
    if (!write) return nullptr;
    Handle encoding = get(channel, OZU_ID("encoding"));
    if (!encoding) return nullptr;
    Handle bytes = encode(data, encoding.get());
    if (!bytes) return nullptr;
    return none_result(steal(PyObject_CallOneArg(write.get(), bytes.get())));
}

// fn(**kwargs), with a copy of the keywords.
Handle call_with_keywords(PyObject* fn, PyObject* kwargs) {
    Handle args = steal(PyTuple_New(0));
    Handle kw = steal(PyDict_Copy(kwargs));
    if (!args || !kw) return {};
    return steal(PyObject_Call(fn, args.get(), kw.get()));
}

// super(cls, self).__init__(**kwargs)
bool init_base(PyObject* cls, PyObject* self, PyObject* kwargs) {
    Handle super = steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self, nullptr));
    Handle init = super ? get(super.get(), OZU_ID("__init__")) : Handle();
    return init && call_with_keywords(init.get(), kwargs);
}

// create_serial_instance(**kwargs), looked up at call time.
Handle open_port(PyObject* kwargs) {
    PyObject* create = py::global(OZU_ID("create_serial_instance"));
    if (!create) return {};
    Handle keep = borrow(create);
    return call_with_keywords(create, kwargs);
}

// Members that both serial channels implement alike, on the port object they keep in `attr`.

// port.in_waiting
PyObject* in_waiting_of(PyObject* self, PyObject* attr) {
    Handle port = get(self, attr);
    return port ? int_result(get(port.get(), OZU_ID("in_waiting"))) : nullptr;
}

// port.write(data.encode(self.encoding))
PyObject* send_through(PyObject* self, PyObject* attr, PyObject* data) {
    Handle port = get(self, attr);
    return port ? write_encoded(self, port.get(), data) : nullptr;
}

// port.read(size).decode(self.encoding)
PyObject* read_through(PyObject* self, PyObject* attr, PyObject* size) {
    Handle port = get(self, attr);
    return port ? read_decoded(self, port.get(), size) : nullptr;
}

// port.<method>(), its result dropped
PyObject* call_on(PyObject* self, PyObject* attr, PyObject* method) {
    Handle port = get(self, attr);
    return port ? none_result(py::call_method(port.get(), method)) : nullptr;
}

// Closes a port while an error is being propagated; that error wins over anything close raises.
void close_keeping_error(PyObject* port) {
    py::keeping_error([&] { return py::call_method(port, OZU_ID("close")); });
}

// ------------------------------------------------------------------------------------ Channel

PyObject* channel_init(BoundArgs& args) {
    auto [self] = args.take<1>();
    PyObject* encoding = PyDict_GetItemWithError(args.kwargs.get(), OZU_ID("encoding"));
    if (!encoding) {
        if (PyErr_Occurred()) return nullptr;
        encoding = OZU_ID("latin");
    }
    Handle keep = borrow(encoding);
    if (PyObject_SetAttr(self, OZU_ID("encoding"), encoding) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* nothing(BoundArgs&) { Py_RETURN_NONE; }

const FunctionDecl kChannelInit = {.name = "__init__", .params = {{"self"}}, .impl = channel_init, .star_kwargs = true};
const FunctionDecl kChannelRead = {.name = "read", .params = {{"self"}, {"size", Check::Any, Default::integer(1)}}, .impl = nothing, .abstract = true};
const FunctionDecl kChannelReceive = {.name = "receive_frame", .params = {{"self"}}, .impl = nothing, .abstract = true};
const FunctionDecl kChannelSend = {.name = "send_frame", .params = {{"self"}, {"data", Check::Str}}, .impl = nothing, .abstract = true};
const FunctionDecl kChannelInWaiting = {.name = "in_waiting", .params = {{"self"}}, .impl = nothing, .abstract = true};
const FunctionDecl kChannelPort = {.name = "port", .params = {{"self"}}, .impl = nothing, .abstract = true};
const FunctionDecl kChannelClose = {"close", {{"self"}}, nothing};
const FunctionDecl kChannelReset = {"reset_input_buffer", {{"self"}}, nothing};

// ------------------------------------------------------------------------------------ MewSerial

PyObject* mew_serial_init(BoundArgs& args) {
    auto [self] = args.take<1>();
    if (!init_base(g_mew_serial, self, args.kwargs.get())) return nullptr;
    Handle port = open_port(args.kwargs.get());
    if (!port || PyObject_SetAttr(self, OZU_ID("_serial"), port.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// _receive_frame_by_serial(port), the module-level name looked up at call time.
PyObject* receive_from(PyObject* self, PyObject* port_attr) {
    PyObject* reader = py::global(OZU_ID("_receive_frame_by_serial"));
    if (!reader) return nullptr;
    Handle keep = borrow(reader);
    Handle port = get(self, port_attr);
    if (!port) return nullptr;
    if (py::is_function_of(reader, kReceiveFrameBySerial)) return receive_frame_by_serial(port.get());
    return str_result(steal(PyObject_CallOneArg(reader, port.get())));
}

// Members both serial channels implement alike, on the port object they keep in attribute `Port`:
// MewSerial's one port, or the port DualSerial reads from or writes to.
constexpr char kSerial[] = "_serial";
constexpr char kReadPort[] = "_channel_to_read";
constexpr char kWritePort[] = "_channel_to_write";

template <const char* Port>
PyObject* port_receive(BoundArgs& args) {
    auto [self] = args.take<1>();
    return receive_from(self, OZU_ID(Port));
}

template <const char* Port>
PyObject* port_in_waiting(BoundArgs& args) {
    auto [self] = args.take<1>();
    return in_waiting_of(self, OZU_ID(Port));
}

template <const char* Port>
PyObject* port_send(BoundArgs& args) {
    auto [self, data] = args.take<2>();
    return send_through(self, OZU_ID(Port), data);
}

template <const char* Port>
PyObject* port_read(BoundArgs& args) {
    auto [self, size] = args.take<2>();
    return read_through(self, OZU_ID(Port), size);
}

template <const char* Port>
PyObject* port_reset(BoundArgs& args) {
    auto [self] = args.take<1>();
    return call_on(self, OZU_ID(Port), OZU_ID("reset_input_buffer"));
}

PyObject* mew_serial_port(BoundArgs& args) {
    auto [self] = args.take<1>();
    Handle serial = get(self, OZU_ID("_serial"));
    return serial ? str_result(get(serial.get(), OZU_ID("port"))) : nullptr;
}

PyObject* mew_serial_close(BoundArgs& args) {
    auto [self] = args.take<1>();
    return call_on(self, OZU_ID("_serial"), OZU_ID("close"));
}

const FunctionDecl kMewSerialInit = {.name = "__init__", .params = {{"self"}}, .impl = mew_serial_init, .star_kwargs = true};
const FunctionDecl kMewSerialReceive = {"receive_frame", {{"self"}}, port_receive<kSerial>};
const FunctionDecl kMewSerialPort = {"port", {{"self"}}, mew_serial_port};
const FunctionDecl kMewSerialInWaiting = {"in_waiting", {{"self"}}, port_in_waiting<kSerial>};
const FunctionDecl kMewSerialSend = {"send_frame", {{"self"}, {"data", Check::Str}}, port_send<kSerial>};
const FunctionDecl kMewSerialRead = {"read", {{"self"}, {"size", Check::Any, Default::integer(1)}}, port_read<kSerial>};
const FunctionDecl kMewSerialClose = {"close", {{"self"}}, mew_serial_close};
const FunctionDecl kMewSerialReset = {"reset_input_buffer", {{"self"}}, port_reset<kSerial>};

// ------------------------------------------------------------------------------------ DualSerial

PyObject* raise_pair_assertion(PyObject* self, Py_ssize_t count) {
    Handle cls = get(self, OZU_ID("__class__"));
    Handle name = cls ? get(cls.get(), OZU_ID("__name__")) : Handle();
    if (!name) return nullptr;
    Handle text = steal(PyUnicode_FromFormat("%S need 2 port names separated by \",\". Got %zd", name.get(), count));
    if (text) PyErr_SetObject(PyExc_AssertionError, text.get());
    return nullptr;
}

// create_serial_instance(port=name, **kwargs); a name past the end of the list is an IndexError.
Handle open_named(PyObject* names, Py_ssize_t index, PyObject* kwargs) {
    if (index >= PyList_GET_SIZE(names)) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return {};
    }
    Handle kw = steal(PyDict_New());
    if (!kw || PyDict_SetItem(kw.get(), OZU_ID("port"), PyList_GET_ITEM(names, index)) < 0 ||
        PyDict_Update(kw.get(), kwargs) < 0)
        return {};
    return open_port(kw.get());
}

PyObject* dual_serial_init(BoundArgs& args) {
    auto [self, port] = args.take<2>();
    PyObject* kwargs = args.kwargs.get();
    if (!init_base(g_dual_serial, self, kwargs)) return nullptr;
    Handle names = steal(PyUnicode_Split(port, OZU_ID(","), -1));
    if (!names) return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(names.get());
    if (py::assertions_enabled() && count != 2) return raise_pair_assertion(self, count);

    Handle writer = open_named(names.get(), 0, kwargs);
    if (!writer) return nullptr;
    // From here on a failure closes the ports already opened, so that none stays locked.
    if (PyObject_SetAttr(self, OZU_ID("_channel_to_write"), writer.get()) < 0) {
        close_keeping_error(writer.get());
        return nullptr;
    }
    Handle reader = open_named(names.get(), 1, kwargs);
    if (!reader) {
        close_keeping_error(writer.get());
        return nullptr;
    }
    if (PyObject_SetAttr(self, OZU_ID("_channel_to_read"), reader.get()) < 0) {
        close_keeping_error(reader.get());
        close_keeping_error(writer.get());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* dual_serial_port(BoundArgs& args) {
    auto [self] = args.take<1>();
    Handle writer = get(self, OZU_ID("_channel_to_write"));
    Handle write_name = writer ? get(writer.get(), OZU_ID("port")) : Handle();
    if (!write_name) return nullptr;
    Handle reader = get(self, OZU_ID("_channel_to_read"));
    Handle read_name = reader ? get(reader.get(), OZU_ID("port")) : Handle();
    if (!read_name) return nullptr;
    Handle names = steal(PyList_New(2));
    if (!names) return nullptr;
    PyList_SET_ITEM(names.get(), 0, write_name.release());
    PyList_SET_ITEM(names.get(), 1, read_name.release());
    return PyUnicode_Join(OZU_ID(","), names.get());
}

// Closes the read port, then the write port. The write port is closed even when closing the read
// port fails (a port left open stays locked, and the next open of the pair would fail); the read
// port's error is the one that passes on.
PyObject* dual_serial_close(BoundArgs& args) {
    auto [self] = args.take<1>();
    Handle reader = get(self, OZU_ID("_channel_to_read"));
    if (reader && py::call_method(reader.get(), OZU_ID("close")))
        return call_on(self, OZU_ID("_channel_to_write"), OZU_ID("close"));
    py::keeping_error([self = self] {
        Handle writer = get(self, OZU_ID("_channel_to_write"));
        return writer && py::call_method(writer.get(), OZU_ID("close"));
    });
    return nullptr;
}

PyObject* dual_serial_enter(BoundArgs& args) {
    auto [self] = args.take<1>();
    return Py_NewRef(self);
}

PyObject* dual_serial_exit(BoundArgs& args) {
    auto [self] = args.take<1>();
    return none_result(py::call_method(self, OZU_ID("close")));
}

const FunctionDecl kDualSerialInit = {.name = "__init__", .params = {{"self"}, {"port", Check::Str}}, .impl = dual_serial_init, .star_kwargs = true};
const FunctionDecl kDualSerialReceive = {"receive_frame", {{"self"}}, port_receive<kReadPort>};
const FunctionDecl kDualSerialPort = {"port", {{"self"}}, dual_serial_port};
const FunctionDecl kDualSerialInWaiting = {"in_waiting", {{"self"}}, port_in_waiting<kReadPort>};
const FunctionDecl kDualSerialSend = {"send_frame", {{"self"}, {"data", Check::Str}}, port_send<kWritePort>};
const FunctionDecl kDualSerialRead = {"read", {{"self"}, {"size", Check::Any, Default::integer(1)}}, port_read<kReadPort>};
const FunctionDecl kDualSerialClose = {"close", {{"self"}}, dual_serial_close};
const FunctionDecl kDualSerialReset = {"reset_input_buffer", {{"self"}}, port_reset<kReadPort>};
const FunctionDecl kDualSerialEnter = {"__enter__", {{"self"}}, dual_serial_enter};
const FunctionDecl kDualSerialExit = {"__exit__", {{"self"}, {"exc_type"}, {"exc_val"}, {"exc_tb"}}, dual_serial_exit};

bool add(PyObject* module_dict, const char* name, const Handle& value) {
    return value && PyDict_SetItemString(module_dict, name, value.get()) == 0;
}

// Exactly the class `cls` as the module made it, with nobody having assigned to the class or
// rebound its name.
bool is_untouched(PyObject* obj, PyObject* cls, const py::ClassGuard& guard) noexcept {
    return cls && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(cls) && guard.untouched();
}

// The attribute holding the port that `channel` reads from, when it is exactly one of the module's
// serial channels; else null.
PyObject* read_port_attr(PyObject* channel) {
    if (is_untouched(channel, g_mew_serial, g_mew_serial_guard)) return OZU_ID("_serial");
    if (is_untouched(channel, g_dual_serial, g_dual_serial_guard)) return OZU_ID("_channel_to_read");
    return nullptr;
}

}  // namespace

Handle decode_bytes(PyObject* data, PyObject* encoding) { return decode(data, encoding); }
Handle encode_text(PyObject* text, PyObject* encoding) { return encode(text, encoding); }

serial::Port* exact_serial_read_port(PyObject* channel, Handle& keep_alive) {
    PyObject* port_attr = read_port_attr(channel);
    if (!port_attr) return nullptr;
    PyObject* reader = PyDict_GetItemWithError(py::module_dict(), OZU_ID("_receive_frame_by_serial"));
    if (!reader || !py::is_function_of(reader, kReceiveFrameBySerial)) {
        PyErr_Clear();
        return nullptr;
    }
    // An instance attribute named receive_frame hides the method.
    Handle dict = steal(PyObject_GenericGetDict(channel, nullptr));
    if (!dict || PyDict_GetItemWithError(dict.get(), OZU_ID("receive_frame")) || PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    Handle port = get(channel, port_attr);
    if (!port) {
        PyErr_Clear();  // receive_frame() itself will raise it
        return nullptr;
    }
    serial::Port* core = native_port(port.get());
    if (core) keep_alive = std::move(port);
    return core;
}

}  // namespace channel

bool register_channel(PyObject* module_dict) {
    using namespace channel;
    PyObject* abc = py::global(OZU_ID("ABC"));
    if (!abc) return false;
    Handle channel_cls = py::ClassBuilder("Channel")
                             .base(abc)
                             .method(kChannelInit)
                             .method(kChannelRead)
                             .method(kChannelReceive)
                             .method(kChannelSend)
                             .property(kChannelInWaiting)
                             .property(kChannelPort)
                             .method(kChannelClose)
                             .method(kChannelReset)
                             .build();
    if (!add(module_dict, "Channel", channel_cls)) return false;

    init_native_ports();
    Handle reader = py::make_function(kReceiveFrameBySerial, "_receive_frame_by_serial");
    if (!add(module_dict, "_receive_frame_by_serial", reader)) return false;

    Handle mew_serial = py::ClassBuilder("MewSerial")
                            .base(channel_cls.get())
                            .method(kMewSerialInit)
                            .method(kMewSerialReceive)
                            .property(kMewSerialPort)
                            .property(kMewSerialInWaiting)
                            .method(kMewSerialSend)
                            .method(kMewSerialRead)
                            .method(kMewSerialClose)
                            .method(kMewSerialReset)
                            .build();
    if (!add(module_dict, "MewSerial", mew_serial)) return false;

    Handle dual_serial = py::ClassBuilder("DualSerial")
                             .base(channel_cls.get())
                             .method(kDualSerialInit)
                             .method(kDualSerialReceive)
                             .property(kDualSerialPort)
                             .property(kDualSerialInWaiting)
                             .method(kDualSerialSend)
                             .method(kDualSerialRead)
                             .method(kDualSerialClose)
                             .method(kDualSerialReset)
                             .method(kDualSerialEnter)
                             .method(kDualSerialExit)
                             .build();
    if (!add(module_dict, "DualSerial", dual_serial)) return false;

    // Held for the life of the process: super() and the fast path use them even if the module's
    // names are rebound.
    g_mew_serial = Py_NewRef(mew_serial.get());
    g_dual_serial = Py_NewRef(dual_serial.get());
    g_mew_serial_guard.record(module_dict, OZU_ID("MewSerial"), g_mew_serial);
    g_dual_serial_guard.record(module_dict, OZU_ID("DualSerial"), g_dual_serial);
    return true;
}

}  // namespace ozu::mew
