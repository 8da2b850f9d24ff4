// MewSlaveNoFeedback and MewSlaveBase: the station side of the protocol. process_request turns one
// received command frame into the complete answer (or error answer) frame, calling the data hooks
// that a derived class supplies. It owns no channel and sends nothing itself.
#include "codec/codec_support.hpp"
#include "module/subsystems.hpp"
#include "ozu/codec/answers.hpp"
#include "ozu/codec/fields.hpp"
#include "ozu/protocol/request_decode.hpp"
#include "slave/slave_support.hpp"

#include <string>

namespace ozu::mew {
namespace slave {
namespace {

using py::BoundArgs;
using py::Check;
using py::FunctionDecl;
using py::Param;
namespace core = ozu::codec;

constexpr const char* kNoFeedbackDoc =
    "\n\t在 MewSlaveBase 的各子类中的 “on_”函数里，如果抛出此类异常，表示不需要回复。\n\t";

PyObject* empty_text() { return PyUnicode_FromStringAndSize(nullptr, 0); }

// Appends one read result word as four hexadecimal digits, low byte first. A word outside
// 0..65535 cannot be written in its field: refused, naming the value, rather than sending a
// frame whose fields are shifted.
bool append_word(std::string& out, PyObject* value) {
    long low, high;
    if (PyLong_Check(value)) {
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(value, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || v < 0 || v > 0xFFFF) {
            PyErr_Format(PyExc_ValueError, "value %S out of range for a 16-bit field (0..65535)", value);
            return false;
        }
        low = v & 0xFF;
        high = v >> 8;
    } else {
        // Whatever `value & 255` and `value >> 8` make of it (TypeError for non-numbers).
        Handle mask = py::steal(PyLong_FromLong(0xFF));
        Handle eight = py::steal(PyLong_FromLong(8));
        if (!mask || !eight) return false;
        Handle lo = py::steal(PyNumber_And(value, mask.get()));
        if (!lo) return false;
        Handle hi = py::steal(PyNumber_Rshift(value, eight.get()));
        if (!hi) return false;
        Handle lo_i = py::steal(PyNumber_Index(lo.get()));
        if (!lo_i) return false;
        Handle hi_i = py::steal(PyNumber_Index(hi.get()));
        if (!hi_i) return false;
        int o1 = 0, o2 = 0;
        low = PyLong_AsLongAndOverflow(lo_i.get(), &o1);
        high = PyLong_AsLongAndOverflow(hi_i.get(), &o2);
        if (PyErr_Occurred()) return false;
        if (o1 != 0 || o2 != 0 || low < 0 || low > 0xFF || high < 0 || high > 0xFF) {
            PyErr_Format(PyExc_ValueError, "value %S out of range for a 16-bit field (0..65535)", value);
            return false;
        }
    }
    core::append_uint16(out, static_cast<std::uint16_t>(low | (high << 8)));
    return true;
}

// The words of a read hook's result, any iterable, in the order it yields them.
bool append_words(std::string& out, PyObject* result) {
    Handle it = py::steal(PyObject_GetIter(result));
    if (!it) return false;
    while (Handle item = py::steal(PyIter_Next(it.get()))) {
        if (!append_word(out, item.get())) return false;
    }
    return !PyErr_Occurred();
}

// ------------------------------------------------------------------- steps shared by both paths

// The invalid frame is reported through the object's own process_invalid_frame; nothing is sent.
PyObject* report_invalid_frame(PyObject* self, PyObject* command) {
    if (!call_method(self, OZU_ID("process_invalid_frame"), command)) return nullptr;
    return empty_text();
}

// self.not_for_this_station(station), as a truth value: 1, 0, or -1 with an exception set.
int not_for_this_station(PyObject* self, PyObject* station) {
    Handle other = call_method(self, OZU_ID("not_for_this_station"), station);
    return other ? PyObject_IsTrue(other.get()) : -1;
}

// Calls the data hook of `cmd` on the object with the request's station and name, and `arg`: the
// value for WCS, the count for RCC and RD, the values for WCC and WD (unused for RCS). Appends
// the answer data the hook's result makes.
bool call_hook(PyObject* self, core::Command cmd, PyObject* station, PyObject* name, PyObject* arg, std::string& data) {
    switch (cmd) {
        case core::Command::RCS: {
            Handle result = call_method(self, OZU_ID("on_get_coil"), station, name);
            const int truth = result ? PyObject_IsTrue(result.get()) : -1;
            if (truth < 0) return false;
            data.push_back(truth ? '1' : '0');
            return true;
        }
        case core::Command::WCS: return static_cast<bool>(call_method(self, OZU_ID("on_set_coil"), station, name, arg));
        case core::Command::RCC:
        case core::Command::RD: {
            PyObject* hook = cmd == core::Command::RCC ? OZU_ID("on_get_multi_coil_uint16") : OZU_ID("on_get_multi_uint16");
            Handle result = call_method(self, hook, station, name, arg);
            return result && append_words(data, result.get());
        }
        case core::Command::WCC:
        case core::Command::WD: {
            PyObject* hook = cmd == core::Command::WCC ? OZU_ID("on_set_multi_coil_uint16") : OZU_ID("on_set_multi_uint16");
            return static_cast<bool>(call_method(self, hook, station, name, arg));
        }
        case core::Command::unknown: break;
    }
    return true;
}

// ------------------------------------------------------------------------------- fast path
// While the module's MewStatic is the class built at import, its operations are the codec core's,
// and the request is checked and decoded by the core's decode_frame and decode_command, with the
// same results and the same exceptions as the calls through the class: the frame and station
// first, the command only for a request this station takes.

template <class Unit>
std::string ascii_piece(core::Text<Unit> text, core::Span span) {
    std::string out;
    out.reserve(span.size());
    for (std::size_t i = span.start; i < span.stop; ++i) out.push_back(static_cast<char>(text[i]));
    return out;
}

// The station number as an int: beyond 64 bits read by the interpreter's own integers.
Handle station_number(PyObject* command, const protocol::DecodedRequest& request) {
    return codec::station_number(command, request.station, request.station_fits, request.station_span);
}

// The argument a hook takes besides station and name (see call_hook).
Handle hook_argument(const protocol::DecodedRequest& request) {
    switch (request.cmd) {
        case core::Command::WCS: return py::borrow(request.coil_value ? Py_True : Py_False);
        case core::Command::RCC:
        case core::Command::RD: return codec::int_obj(request.count);
        case core::Command::WCC:
        case core::Command::WD: {
            Handle values = py::steal(PyList_New(static_cast<Py_ssize_t>(request.values.size())));
            if (!values) return {};
            for (std::size_t i = 0; i < request.values.size(); ++i) {
                PyObject* item = PyLong_FromLong(request.values[i]);
                if (!item) return {};
                PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), item);
            }
            return values;
        }
        case core::Command::RCS:
        case core::Command::unknown: break;
    }
    return py::none();
}

template <class Unit>
PyObject* process_request_fast(PyObject* self, PyObject* command, core::Text<Unit> text) {
    protocol::DecodedRequest request;
    if (!protocol::decode_frame(text, request)) {
        if (request.status == protocol::RequestStatus::invalid_frame) return report_invalid_frame(self, command);
        return codec::raise_failure(request.failure, command);
    }
    Handle station = station_number(command, request);
    if (!station) return nullptr;
    const int skip = not_for_this_station(self, station.get());
    if (skip != 0) return skip < 0 ? nullptr : empty_text();

    protocol::decode_command(text, request);
    if (request.status == protocol::RequestStatus::field_failure) return codec::raise_failure(request.failure, command);
    const std::string head = ascii_piece(text, request.head);  // "%" and hexadecimal digits
    if (request.status == protocol::RequestStatus::error_answer)
        return codec::ascii_str(core::error_frame(head, request.error_code)).release();

    Handle name = codec::substring(command, request.name);
    Handle arg = hook_argument(request);
    if (!name || !arg) return nullptr;
    std::string data;
    if (!call_hook(self, request.cmd, station.get(), name.get(), arg.get(), data)) return nullptr;
    return codec::ascii_str(core::answer_frame(head, request.cmd, data)).release();
}

// ------------------------------------------------------------------------ through the class
// A replaced MewStatic (or a replaced operation of it) is called for every step, in the order the
// fast path makes them.

// text[start:end], sliced as the interpreter slices.
Handle substring(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    return codec::substring(text, core::slice(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)), start, end));
}

// Frame check: at least 9 characters, the header first, an acceptable block check; tested in this
// order. Returns 1 when the frame passes, 0 when not, -1 on error.
int frame_passes(PyObject* command) {
    if (PyUnicode_GET_LENGTH(command) < static_cast<Py_ssize_t>(protocol::kMinRequestLength)) return 0;
    Handle head = codec::class_attr(OZU_ID("HEAD"));
    if (!head) return -1;
    Handle first = py::steal(PyUnicode_Substring(command, 0, 1));
    if (!first) return -1;
    const int differs = PyObject_RichCompareBool(first.get(), head.get(), Py_NE);
    if (differs != 0) return differs < 0 ? -1 : 0;
    Handle ok = codec::call_op(OZU_ID("crc_is_ok"), command);
    if (!ok) return -1;
    return PyObject_IsTrue(ok.get());
}

// What the command code says: the code itself, the branch it takes (unknown when none does), the
// index after its letters, and the head an answer repeats.
struct CommandRead {
    Handle cmd;
    core::Command which = core::Command::unknown;
    Py_ssize_t pos = 0;
    Handle head;
};

bool read_command(PyObject* command, CommandRead& out) {
    out.cmd = codec::call_op(OZU_ID("parse_command"), command);
    if (!out.cmd) return false;
    Handle start_obj = codec::call_op(OZU_ID("command_start_position"), command);
    if (!start_obj) return false;
    const Py_ssize_t start = PyNumber_AsSsize_t(start_obj.get(), PyExc_OverflowError);
    if (start == -1 && PyErr_Occurred()) return false;
    const Py_ssize_t cmd_len = PyObject_Length(out.cmd.get());
    if (cmd_len < 0) return false;
    out.pos = start + cmd_len;
    // The text before the type character, exactly as received (command[:start - 1]).
    out.head = py::steal(PySequence_GetSlice(command, 0, start - 1));
    if (!out.head) return false;

    static PyObject* const names[] = {OZU_ID("RCS"), OZU_ID("WCS"), OZU_ID("RCC"),
                                      OZU_ID("WCC"), OZU_ID("RD"),  OZU_ID("WD")};
    static constexpr core::Command commands[] = {core::Command::RCS, core::Command::WCS, core::Command::RCC,
                                                 core::Command::WCC, core::Command::RD,  core::Command::WD};
    for (std::size_t i = 0; i < std::size(names); ++i) {
        const int eq = PyObject_RichCompareBool(out.cmd.get(), names[i], Py_EQ);
        if (eq < 0) return false;
        if (eq) {
            out.which = commands[i];
            return true;
        }
    }
    return true;
}

// end - start + 1, with the interpreter's arithmetic (the decoders may be replaced).
Handle span_count(PyObject* end, PyObject* start) {
    Handle diff = py::steal(PyNumber_Subtract(end, start));
    if (!diff) return {};
    Handle one = codec::int_obj(1);
    if (!one) return {};
    return py::steal(PyNumber_Add(diff.get(), one.get()));
}

// RCC/WCC: name = area letter + 4-digit start word, end word in the next 4 characters, both read
// as decimal. RD/WD: name = area letter + 5-digit start register, end register in the next 5
// characters, both through parse_register_address. The end is read first.
Handle read_range(PyObject* command, const CommandRead& r, Handle& name) {
    const bool words = r.which == core::Command::RCC || r.which == core::Command::WCC;
    const Py_ssize_t width = words ? 4 : 5;
    name = substring(command, r.pos, r.pos + 1 + width);
    if (!name) return {};
    Handle end_piece = substring(command, r.pos + 1 + width, r.pos + 1 + 2 * width);
    Handle start_piece = substring(name.get(), 1, PyUnicode_GET_LENGTH(name.get()));
    if (!end_piece || !start_piece) return {};
    auto read = [words](PyObject* piece) {
        return words ? codec::read_int(piece, 10) : codec::call_op(OZU_ID("parse_register_address"), piece);
    };
    Handle end = read(end_piece.get());
    if (!end) return {};
    Handle start = read(start_piece.get());
    if (!start) return {};
    return span_count(end.get(), start.get());
}

// values for WCC/WD: `count` words of 4 characters each, the first at `first`.
Handle read_values(PyObject* command, PyObject* count, Py_ssize_t first) {
    const Py_ssize_t n = PyNumber_AsSsize_t(count, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return {};
    Handle values = py::steal(PyList_New(0));
    if (!values) return {};
    Handle parse = codec::class_attr(OZU_ID("parse_uint16"));
    if (!parse) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t at = first + 4 * i;
        Handle piece = substring(command, at, at + 4);
        if (!piece) return {};
        Handle v = py::steal(PyObject_CallOneArg(parse.get(), piece.get()));
        if (!v || PyList_Append(values.get(), v.get()) < 0) return {};
    }
    return values;
}

// The fields of a known command: its name, and the argument its hook takes besides station and
// name (see call_hook).
bool read_fields(PyObject* command, const CommandRead& r, Handle& name, Handle& arg) {
    switch (r.which) {
        case core::Command::RCS:
            name = substring(command, r.pos, r.pos + 5);
            arg = py::none();
            return static_cast<bool>(name);
        case core::Command::WCS: {
            name = substring(command, r.pos, r.pos + 5);
            if (!name) return false;
            Handle ch = py::steal(PySequence_GetItem(command, r.pos + 5));
            if (!ch) return false;
            Handle zero_char = py::steal(PyUnicode_FromString("0"));
            if (!zero_char) return false;
            const int set = PyObject_RichCompareBool(ch.get(), zero_char.get(), Py_NE);
            if (set < 0) return false;
            arg = py::borrow(set ? Py_True : Py_False);
            return true;
        }
        case core::Command::RCC:
        case core::Command::RD:
            arg = read_range(command, r, name);
            return static_cast<bool>(arg);
        case core::Command::WCC:
        case core::Command::WD: {
            Handle count = read_range(command, r, name);
            if (!count) return false;
            arg = read_values(command, count.get(), r.pos + (r.which == core::Command::WCC ? 9 : 11));
            return static_cast<bool>(arg);
        }
        case core::Command::unknown: break;
    }
    return true;
}

// Whether the normal answer would fit in one frame. A count that a replaced decoder made into
// something other than an integer is not judged.
int answer_fits(const CommandRead& r, PyObject* arg) {
    std::int64_t count = 0;
    if ((r.which == core::Command::RCC || r.which == core::Command::RD) && PyLong_Check(arg)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(arg, &overflow);
        if (v == -1 && PyErr_Occurred()) return -1;
        count = overflow > 0 ? INT64_MAX : (overflow < 0 ? INT64_MIN : v);
    }
    const Py_ssize_t head_size = PyObject_Length(r.head.get());
    if (head_size < 0) return -1;
    return protocol::answer_fits(static_cast<std::size_t>(head_size), r.which, count) ? 1 : 0;
}

// The error number written into an error answer: the code negated when negative, as upper-case
// hexadecimal of at least two digits.
Handle error_number(PyObject* code) {
    Handle zero = codec::int_obj(0);
    if (!zero) return {};
    const int negative = PyObject_RichCompareBool(code, zero.get(), Py_LT);
    if (negative < 0) return {};
    Handle number = negative ? py::steal(PyNumber_Negative(code)) : py::borrow(code);
    if (!number) return {};
    Handle fmt = py::steal(PyUnicode_FromString("%02X"));
    if (!fmt) return {};
    return py::steal(PyUnicode_Format(fmt.get(), number.get()));
}

// head + ERROR + the error number, or head + FEEDBACK + the command's first two letters; then the
// answer data, the block check and the terminator.
PyObject* answer_through_class(const CommandRead& r, PyObject* error_code, const std::string& data) {
    Handle mark = codec::class_attr(error_code ? OZU_ID("ERROR") : OZU_ID("FEEDBACK"));
    if (!mark) return nullptr;
    Handle code = error_code ? error_number(error_code) : py::steal(PySequence_GetSlice(r.cmd.get(), 0, 2));
    if (!code) return nullptr;
    Handle with_mark = py::steal(PyNumber_Add(r.head.get(), mark.get()));
    if (!with_mark) return nullptr;
    Handle body = py::steal(PyNumber_Add(with_mark.get(), code.get()));
    if (!body) return nullptr;
    if (!data.empty()) {
        Handle tail_data = codec::ascii_str(data);
        if (!tail_data) return nullptr;
        body = py::steal(PyNumber_Add(body.get(), tail_data.get()));
        if (!body) return nullptr;
    }
    Handle tail = codec::call_op(OZU_ID("calc_tail"), body.get());
    if (!tail) return nullptr;
    return PyNumber_Add(body.get(), tail.get());
}

PyObject* process_request_through_class(PyObject* self, PyObject* command) {
    const int passes = frame_passes(command);
    if (passes <= 0) return passes < 0 ? nullptr : report_invalid_frame(self, command);

    Handle station = codec::call_op(OZU_ID("parse_station"), command);
    if (!station) return nullptr;
    const int skip = not_for_this_station(self, station.get());
    if (skip != 0) return skip < 0 ? nullptr : empty_text();

    CommandRead r;
    if (!read_command(command, r)) return nullptr;
    if (r.which == core::Command::unknown) {
        Handle unknown = codec::class_attr(OZU_ID("CMD_UNKNOWN"));
        if (!unknown) return nullptr;
        const int eq = PyObject_RichCompareBool(r.cmd.get(), unknown.get(), Py_EQ);
        if (eq < 0) return nullptr;
        Handle code = codec::class_attr(eq ? OZU_ID("PROCESS_UNKNOWN_CMD") : OZU_ID("PROCESS_ERROR"));
        return code ? answer_through_class(r, code.get(), {}) : nullptr;
    }

    Handle name, arg;
    if (!read_fields(command, r, name, arg)) return nullptr;
    const int fits = answer_fits(r, arg.get());
    if (fits < 0) return nullptr;
    if (!fits) {
        Handle code = codec::class_attr(OZU_ID("PROCESS_ERROR"));
        return code ? answer_through_class(r, code.get(), {}) : nullptr;
    }
    std::string data;  // answer data: ASCII digits only
    if (!call_hook(self, r.which, station.get(), name.get(), arg.get(), data)) return nullptr;
    return answer_through_class(r, nullptr, data);
}

// ------------------------------------------------------------------------------------- members

PyObject* init_impl(BoundArgs& args) {
    auto [self, station] = args.take<2>();
    if (!py::call_global_member(OZU_ID("ABC"), OZU_ID("__init__"), self)) return nullptr;
    if (PyObject_SetAttr(self, OZU_ID("station"), station) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* process_invalid_frame_impl(BoundArgs& args) {
    auto [self, frame] = args.take<2>();
    return print_formatted("Invalid MEW frame: %s", frame);
}

// self.station != 0 and self.station != station and station != 0, with the value of the last
// comparison evaluated as the result.
PyObject* not_for_this_station_impl(BoundArgs& args) {
    auto [self, station] = args.take<2>();
    Handle zero = codec::int_obj(0);
    if (!zero) return nullptr;
    Handle own = py::steal(PyObject_GetAttr(self, OZU_ID("station")));
    if (!own) return nullptr;
    Handle result = py::steal(PyObject_RichCompare(own.get(), zero.get(), Py_NE));
    if (!result) return nullptr;
    int truth = PyObject_IsTrue(result.get());
    if (truth <= 0) return truth < 0 ? nullptr : result.release();
    own = py::steal(PyObject_GetAttr(self, OZU_ID("station")));
    if (!own) return nullptr;
    result = py::steal(PyObject_RichCompare(own.get(), station, Py_NE));
    if (!result) return nullptr;
    truth = PyObject_IsTrue(result.get());
    if (truth <= 0) return truth < 0 ? nullptr : result.release();
    return PyObject_RichCompare(station, zero.get(), Py_NE);
}

PyObject* process_request_impl(BoundArgs& args) {
    auto [self, command] = args.take<2>();
    if (codec::class_untouched())
        return codec::with_text(command, [self = self, command = command](auto text) {
            return process_request_fast(self, command, text);
        });
    return process_request_through_class(self, command);
}

PyObject* hook_impl(BoundArgs&) { Py_RETURN_NONE; }

const FunctionDecl kInit{.name = "__init__", .params = {{"self"}, {"station", Check::Int}}, .impl = init_impl};
const FunctionDecl kProcessInvalidFrame{
    .name = "process_invalid_frame", .params = {{"self"}, {"frame"}}, .impl = process_invalid_frame_impl};
const FunctionDecl kNotForThisStation{
    .name = "not_for_this_station", .params = {{"self"}, {"station"}}, .impl = not_for_this_station_impl};
const FunctionDecl kProcessRequest{
    .name = "process_request", .params = {{"self"}, {"command", Check::Str}}, .impl = process_request_impl};

// The six data hooks: abstract, taking the object, the request's station, the name and `last`.
FunctionDecl hook(const char* name, Param last) {
    return {.name = name,
            .params = {{"self"}, {"station", Check::Int}, {"name", Check::Str}, last},
            .impl = hook_impl,
            .abstract = true};
}

const FunctionDecl kOnGetCoil = hook("on_get_coil", {});
const FunctionDecl kOnGetMultiCoil = hook("on_get_multi_coil_uint16", {"count", Check::Int});
const FunctionDecl kOnGetMultiUint16 = hook("on_get_multi_uint16", {"count", Check::Int});
const FunctionDecl kOnSetCoil = hook("on_set_coil", {"value"});
const FunctionDecl kOnSetMultiCoil = hook("on_set_multi_coil_uint16", {"values", Check::List});
const FunctionDecl kOnSetMultiUint16 = hook("on_set_multi_uint16", {"values", Check::List});

}  // namespace

bool report_unexpected(PyObject* exc) {
    Handle text = py::steal(PyObject_Str(exc));
    if (!text) return false;
    Handle prefix = py::steal(PyUnicode_FromString("Unexpected exception from mew slave side:"));
    if (!prefix) return false;
    Handle line = py::steal(PyUnicode_Concat(prefix.get(), text.get()));
    return line && py::print_line(line.get());
}

}  // namespace slave

bool register_slave(PyObject* module_dict) {
    using py::ClassBuilder;
    py::Handle no_feedback = ClassBuilder("MewSlaveNoFeedback").base(PyExc_Exception).doc(slave::kNoFeedbackDoc).build();
    if (!no_feedback || PyDict_SetItemString(module_dict, "MewSlaveNoFeedback", no_feedback.get()) < 0) return false;

    PyObject* abc = py::global(OZU_ID("ABC"));
    if (!abc) return false;
    py::Handle base = ClassBuilder("MewSlaveBase")
                      .base(abc)
                      .method(slave::kInit)
                      .method(slave::kProcessInvalidFrame)
                      .method(slave::kNotForThisStation)
                      .method(slave::kProcessRequest)
                      .method(slave::kOnGetCoil)
                      .method(slave::kOnGetMultiCoil)
                      .method(slave::kOnGetMultiUint16)
                      .method(slave::kOnSetCoil)
                      .method(slave::kOnSetMultiCoil)
                      .method(slave::kOnSetMultiUint16)
                      .build();
    return base && PyDict_SetItemString(module_dict, "MewSlaveBase", base.get()) == 0;
}

}  // namespace ozu::mew
