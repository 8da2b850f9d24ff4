// MewSlaveNoFeedback and MewSlaveBase: the station side of the protocol. process_request turns one
// received command frame into the complete answer (or error answer) frame, calling the data hooks
// that a derived class supplies. It owns no channel and sends nothing itself.
#include "codec/codec_support.hpp"
#include "module/subsystems.hpp"
#include "ozu/codec/answers.hpp"
#include "ozu/codec/fields.hpp"
#include "slave/slave_support.hpp"

#include <string>

namespace ozu::mew {
namespace slave {
namespace {

using py::BoundArgs;
using py::Check;
using py::FunctionDecl;
using py::Param;

constexpr const char* kNoFeedbackDoc =
    "\n\t在 MewSlaveBase 的各子类中的 “on_”函数里，如果抛出此类异常，表示不需要回复。\n\t";

PyObject* empty_text() { return PyUnicode_FromStringAndSize(nullptr, 0); }

// A decimal field of the request (a contact word number): ASCII digits only, never empty.
Handle parse_decimal(PyObject* piece) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
    const int kind = PyUnicode_KIND(piece);
    const void* data = PyUnicode_DATA(piece);
    bool ok = n > 0;
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        ok = ch >= '0' && ch <= '9';
    }
    if (!ok) {
        PyErr_Format(PyExc_ValueError, "invalid literal for int() with base 10: %.200R", piece);
        return {};
    }
    return py::steal(PyLong_FromUnicodeObject(piece, 10));
}

// end - start + 1, with the interpreter's arithmetic (the decoders may be replaced).
Handle span_count(PyObject* end, PyObject* start) {
    Handle diff = py::steal(PyNumber_Subtract(end, start));
    if (!diff) return {};
    Handle one = py::steal(PyLong_FromLong(1));
    if (!one) return {};
    return py::steal(PyNumber_Add(diff.get(), one.get()));
}

Handle substring(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (start > n) start = n;
    if (end > n) end = n;
    if (end < start) end = start;
    return py::steal(PyUnicode_Substring(text, start, end));
}

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
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += kHex[low >> 4];
    out += kHex[low & 0xF];
    out += kHex[high >> 4];
    out += kHex[high & 0xF];
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

// values for WCC/WD: `count` words of 4 characters each, the first at `first`.
Handle decode_values(PyObject* command, PyObject* count, Py_ssize_t first) {
    const Py_ssize_t n = PyNumber_AsSsize_t(count, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return {};
    Handle values = py::steal(PyList_New(0));
    if (!values) return {};
    Handle parse = codec_attr(OZU_ID("parse_uint16"));
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

// RCC/WCC: name = area letter + 4-digit start word; end word in the next 4 characters.
bool word_range(PyObject* command, Py_ssize_t pos, Handle& name, Handle& count) {
    name = substring(command, pos, pos + 5);
    if (!name) return false;
    Handle end_piece = substring(command, pos + 5, pos + 9);
    if (!end_piece) return false;
    Handle end = parse_decimal(end_piece.get());
    if (!end) return false;
    Handle start_piece = substring(name.get(), 1, PyUnicode_GET_LENGTH(name.get()));
    if (!start_piece) return false;
    Handle start = parse_decimal(start_piece.get());
    if (!start) return false;
    count = span_count(end.get(), start.get());
    return static_cast<bool>(count);
}

// RD/WD: name = area letter + 5-digit start register; end register in the next 5 characters.
bool register_range(PyObject* command, Py_ssize_t pos, Handle& name, Handle& count) {
    name = substring(command, pos, pos + 6);
    if (!name) return false;
    Handle end_piece = substring(command, pos + 6, pos + 11);
    if (!end_piece) return false;
    Handle end = codec_call(OZU_ID("parse_register_address"), end_piece.get());
    if (!end) return false;
    Handle start_piece = substring(name.get(), 1, PyUnicode_GET_LENGTH(name.get()));
    if (!start_piece) return false;
    Handle start = codec_call(OZU_ID("parse_register_address"), start_piece.get());
    if (!start) return false;
    count = span_count(end.get(), start.get());
    return static_cast<bool>(count);
}

enum class Cmd { RCS, WCS, RCC, WCC, RD, WD, Other };

int classify(PyObject* cmd, Cmd& out) {
    static const struct {
        const char* text;
        Cmd cmd;
    } kCommands[] = {{"RCS", Cmd::RCS}, {"WCS", Cmd::WCS}, {"RCC", Cmd::RCC},
                     {"WCC", Cmd::WCC}, {"RD", Cmd::RD},   {"WD", Cmd::WD}};
    static PyObject* const names[] = {OZU_ID("RCS"), OZU_ID("WCS"), OZU_ID("RCC"),
                                      OZU_ID("WCC"), OZU_ID("RD"),  OZU_ID("WD")};
    for (std::size_t i = 0; i < std::size(kCommands); ++i) {
        const int eq = PyObject_RichCompareBool(cmd, names[i], Py_EQ);
        if (eq < 0) return -1;
        if (eq) {
            out = kCommands[i].cmd;
            return 0;
        }
    }
    out = Cmd::Other;
    return 0;
}

// The error number written into an error answer: the code negated when negative, as upper-case
// hexadecimal of at least two digits.
Handle error_number(PyObject* code) {
    Handle zero = py::steal(PyLong_FromLong(0));
    if (!zero) return {};
    const int negative = PyObject_RichCompareBool(code, zero.get(), Py_LT);
    if (negative < 0) return {};
    Handle number = negative ? py::steal(PyNumber_Negative(code)) : py::borrow(code);
    if (!number) return {};
    Handle fmt = py::steal(PyUnicode_FromString("%02X"));
    if (!fmt) return {};
    return py::steal(PyUnicode_Format(fmt.get(), number.get()));
}

// ------------------------------------------------------------------------------------- members

PyObject* init_impl(BoundArgs& a) {
    PyObject* self = a[0];
    if (!py::call_global_member(OZU_ID("ABC"), OZU_ID("__init__"), self)) return nullptr;
    if (PyObject_SetAttr(self, OZU_ID("station"), a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* process_invalid_frame_impl(BoundArgs& a) { return print_formatted("Invalid MEW frame: %s", a[1]); }

// self.station != 0 and self.station != station and station != 0, with the value of the last
// comparison evaluated as the result.
PyObject* not_for_this_station_impl(BoundArgs& a) {
    PyObject* self = a[0];
    PyObject* station = a[1];
    Handle zero = py::steal(PyLong_FromLong(0));
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

// Frame check: at least 9 characters, the header first, an acceptable block check; tested in this
// order. Returns 1 when the frame passes, 0 when not, -1 on error.
int frame_passes(PyObject* command) {
    if (PyUnicode_GET_LENGTH(command) < 9) return 0;
    Handle head = codec_attr(OZU_ID("HEAD"));
    if (!head) return -1;
    Handle first = py::steal(PyUnicode_Substring(command, 0, 1));
    if (!first) return -1;
    const int differs = PyObject_RichCompareBool(first.get(), head.get(), Py_NE);
    if (differs != 0) return differs < 0 ? -1 : 0;
    Handle ok = codec_call(OZU_ID("crc_is_ok"), command);
    if (!ok) return -1;
    return PyObject_IsTrue(ok.get());
}

// ------------------------------------------------------------------------------- fast path
// While the module's MewStatic is the class built at import, its operations are the codec core's:
// the request is checked and decoded directly from the text's own code units, with the same
// results and the same exceptions as the calls through the class.

namespace core = ozu::codec;

Handle int_object(std::int64_t v) { return py::steal(PyLong_FromLongLong(v)); }

Handle ascii_text(const std::string& s) {
    return py::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

template <class Unit>
Handle piece_of(PyObject* command, core::Text<Unit> text, std::size_t start, std::size_t stop) {
    return codec::substring(command, core::slice(text.size(), static_cast<std::ptrdiff_t>(start),
                                                 static_cast<std::ptrdiff_t>(stop)));
}

// The answer frame for a decoded command, after its hook ran; null with an exception set.
template <class Unit>
PyObject* serve_fast(PyObject* self, PyObject* command, core::Text<Unit> text, PyObject* station) {
    const core::Command cmd = core::parse_command(text);
    const auto cmd_pos = static_cast<std::size_t>(core::command_position(text));
    const std::size_t pos = cmd_pos + core::command_text(cmd).size();
    // The head is "%" and station digits that parsed as hexadecimal: ASCII.
    const core::Span head_span = core::head_span(text);
    std::string head;
    head.reserve(head_span.size());
    for (std::size_t i = head_span.start; i < head_span.stop; ++i) head.push_back(static_cast<char>(text[i]));

    std::string data;
    switch (cmd) {
        case core::Command::RCS: {
            Handle name = piece_of(command, text, pos, pos + 5);
            if (!name) return nullptr;
            Handle result = call_method(self, OZU_ID("on_get_coil"), station, name.get());
            if (!result) return nullptr;
            const int truth = PyObject_IsTrue(result.get());
            if (truth < 0) return nullptr;
            data.push_back(truth ? '1' : '0');
            break;
        }
        case core::Command::WCS: {
            Handle name = piece_of(command, text, pos, pos + 5);
            if (!name) return nullptr;
            if (pos + 5 >= text.size()) return codec::raise_index_error();
            PyObject* value = text[pos + 5] != '0' ? Py_True : Py_False;
            if (!call_method(self, OZU_ID("on_set_coil"), station, name.get(), value)) return nullptr;
            break;
        }
        case core::Command::RCC:
        case core::Command::RD:
        case core::Command::WCC:
        case core::Command::WD: {
            const bool words = cmd == core::Command::RCC || cmd == core::Command::WCC;
            const bool read = cmd == core::Command::RCC || cmd == core::Command::RD;
            Handle name = piece_of(command, text, pos, pos + (words ? 5 : 6));
            if (!name) return nullptr;
            const core::Result<std::int64_t> count =
                words ? core::contact_word_count_at(text, pos) : core::register_count_at(text, pos);
            if (!count.ok()) return codec::raise_failure(count.failure, command);
            if (read) {
                Handle count_obj = int_object(count.value);
                if (!count_obj) return nullptr;
                Handle result = call_method(self, words ? OZU_ID("on_get_multi_coil_uint16") : OZU_ID("on_get_multi_uint16"),
                                            station, name.get(), count_obj.get());
                if (!result || !append_words(data, result.get())) return nullptr;
                break;
            }
            Handle values = py::steal(PyList_New(0));
            if (!values) return nullptr;
            const std::size_t first = pos + (words ? 9 : 11);
            for (std::int64_t i = 0; i < count.value; ++i) {
                const auto v = core::parse_uint16_at(text, first + 4 * static_cast<std::size_t>(i));
                if (!v.ok()) return codec::raise_failure(v.failure, command);
                Handle item = int_object(v.value);
                if (!item || PyList_Append(values.get(), item.get()) < 0) return nullptr;
            }
            if (!call_method(self, words ? OZU_ID("on_set_multi_coil_uint16") : OZU_ID("on_set_multi_uint16"), station,
                             name.get(), values.get()))
                return nullptr;
            break;
        }
        case core::Command::unknown:
            return ascii_text(core::error_frame(head, core::kProcessUnknownCmd)).release();
    }
    return ascii_text(core::answer_frame(head, cmd, data)).release();
}

template <class Unit>
PyObject* process_request_fast(PyObject* self, PyObject* command, core::Text<Unit> text) {
    bool valid = text.size() >= 9 && text[0] == static_cast<Unit>(core::kHead);
    if (valid) {
        const core::Result<bool> ok = core::crc_is_ok(text);
        if (!ok.ok()) return codec::raise_failure(ok.failure, command);
        valid = ok.value;
    }
    if (!valid) {
        if (!call_method(self, OZU_ID("process_invalid_frame"), command)) return nullptr;
        return empty_text();
    }
    const core::Result<std::uint64_t> parsed = core::parse_station(text);
    Handle station;
    if (parsed.ok())
        station = py::steal(PyLong_FromUnsignedLongLong(parsed.value));
    else if (parsed.failure.error == core::Error::too_large)
        station = codec_call(OZU_ID("parse_station"), command);  // beyond 64 bits: the interpreter's int
    else
        return codec::raise_failure(parsed.failure, command);
    if (!station) return nullptr;
    Handle other = call_method(self, OZU_ID("not_for_this_station"), station.get());
    if (!other) return nullptr;
    const int skip = PyObject_IsTrue(other.get());
    if (skip < 0) return nullptr;
    if (skip) return empty_text();
    return serve_fast(self, command, text, station.get());
}

PyObject* process_request_impl(BoundArgs& a) {
    PyObject* self = a[0];
    PyObject* command = a[1];
    if (codec::class_untouched())
        return codec::with_text(command, [&](auto text) { return process_request_fast(self, command, text); });

    const int passes = frame_passes(command);
    if (passes < 0) return nullptr;
    if (!passes) {
        Handle done = call_method(self, OZU_ID("process_invalid_frame"), command);
        if (!done) return nullptr;
        return empty_text();
    }

    Handle station = codec_call(OZU_ID("parse_station"), command);
    if (!station) return nullptr;
    Handle other = call_method(self, OZU_ID("not_for_this_station"), station.get());
    if (!other) return nullptr;
    const int skip = PyObject_IsTrue(other.get());
    if (skip < 0) return nullptr;
    if (skip) return empty_text();

    Handle cmd = codec_call(OZU_ID("parse_command"), command);
    if (!cmd) return nullptr;
    Handle start_obj = codec_call(OZU_ID("command_start_position"), command);
    if (!start_obj) return nullptr;
    const Py_ssize_t start = PyNumber_AsSsize_t(start_obj.get(), PyExc_OverflowError);
    if (start == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t cmd_len = PyObject_Length(cmd.get());
    if (cmd_len < 0) return nullptr;
    const Py_ssize_t pos = start + cmd_len;
    // The text before the type character, exactly as received (command[:start - 1]).
    Handle head = py::steal(PySequence_GetSlice(command, 0, start - 1));
    if (!head) return nullptr;

    Cmd which;
    if (classify(cmd.get(), which) < 0) return nullptr;

    std::string data;  // answer data: ASCII digits only
    Handle error_code;
    Handle name, count, result;
    switch (which) {
        case Cmd::RCS: {
            name = substring(command, pos, pos + 5);
            if (!name) return nullptr;
            result = call_method(self, OZU_ID("on_get_coil"), station.get(), name.get());
            if (!result) return nullptr;
            const int truth = PyObject_IsTrue(result.get());
            if (truth < 0) return nullptr;
            data.push_back(truth ? '1' : '0');
            break;
        }
        case Cmd::WCS: {
            name = substring(command, pos, pos + 5);
            if (!name) return nullptr;
            Handle ch = py::steal(PySequence_GetItem(command, pos + 5));
            if (!ch) return nullptr;
            Handle zero_char = py::steal(PyUnicode_FromString("0"));
            if (!zero_char) return nullptr;
            const int set = PyObject_RichCompareBool(ch.get(), zero_char.get(), Py_NE);
            if (set < 0) return nullptr;
            result = call_method(self, OZU_ID("on_set_coil"), station.get(), name.get(), set ? Py_True : Py_False);
            if (!result) return nullptr;
            break;
        }
        case Cmd::RCC:
        case Cmd::RD: {
            const bool words = which == Cmd::RCC;
            if (!(words ? word_range(command, pos, name, count) : register_range(command, pos, name, count)))
                return nullptr;
            result = call_method(self, words ? OZU_ID("on_get_multi_coil_uint16") : OZU_ID("on_get_multi_uint16"),
                                 station.get(), name.get(), count.get());
            if (!result || !append_words(data, result.get())) return nullptr;
            break;
        }
        case Cmd::WCC:
        case Cmd::WD: {
            const bool words = which == Cmd::WCC;
            if (!(words ? word_range(command, pos, name, count) : register_range(command, pos, name, count)))
                return nullptr;
            Handle values = decode_values(command, count.get(), pos + (words ? 9 : 11));
            if (!values) return nullptr;
            result = call_method(self, words ? OZU_ID("on_set_multi_coil_uint16") : OZU_ID("on_set_multi_uint16"),
                                 station.get(), name.get(), values.get());
            if (!result) return nullptr;
            break;
        }
        case Cmd::Other: {
            Handle unknown = codec_attr(OZU_ID("CMD_UNKNOWN"));
            if (!unknown) return nullptr;
            const int eq = PyObject_RichCompareBool(cmd.get(), unknown.get(), Py_EQ);
            if (eq < 0) return nullptr;
            error_code = codec_attr(eq ? OZU_ID("PROCESS_UNKNOWN_CMD") : OZU_ID("PROCESS_ERROR"));
            if (!error_code) return nullptr;
            break;
        }
    }

    Handle body;
    if (error_code) {
        Handle mark = codec_attr(OZU_ID("ERROR"));
        if (!mark) return nullptr;
        Handle number = error_number(error_code.get());
        if (!number) return nullptr;
        Handle with_mark = py::steal(PyNumber_Add(head.get(), mark.get()));
        if (!with_mark) return nullptr;
        body = py::steal(PyNumber_Add(with_mark.get(), number.get()));
    } else {
        Handle mark = codec_attr(OZU_ID("FEEDBACK"));
        if (!mark) return nullptr;
        Handle code = py::steal(PySequence_GetSlice(cmd.get(), 0, 2));
        if (!code) return nullptr;
        Handle with_mark = py::steal(PyNumber_Add(head.get(), mark.get()));
        if (!with_mark) return nullptr;
        body = py::steal(PyNumber_Add(with_mark.get(), code.get()));
    }
    if (!body) return nullptr;
    if (!data.empty()) {
        Handle tail_data = py::steal(PyUnicode_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
        if (!tail_data) return nullptr;
        body = py::steal(PyNumber_Add(body.get(), tail_data.get()));
        if (!body) return nullptr;
    }
    Handle tail = codec_call(OZU_ID("calc_tail"), body.get());
    if (!tail) return nullptr;
    return PyNumber_Add(body.get(), tail.get());
}

PyObject* hook_impl(BoundArgs&) { Py_RETURN_NONE; }

const FunctionDecl kInit{"__init__", {{"self"}, {"station", Check::Int}}, init_impl};
const FunctionDecl kProcessInvalidFrame{"process_invalid_frame", {{"self"}, {"frame"}}, process_invalid_frame_impl};
const FunctionDecl kNotForThisStation{"not_for_this_station", {{"self"}, {"station"}}, not_for_this_station_impl};
const FunctionDecl kProcessRequest{"process_request", {{"self"}, {"command", Check::Str}}, process_request_impl};

const FunctionDecl kOnGetCoil{
    "on_get_coil", {{"self"}, {"station", Check::Int}, {"name", Check::Str}}, hook_impl, nullptr, false, false, true};
const FunctionDecl kOnGetMultiCoil{"on_get_multi_coil_uint16",
                                   {{"self"}, {"station", Check::Int}, {"name", Check::Str}, {"count", Check::Int}},
                                   hook_impl, nullptr, false, false, true};
const FunctionDecl kOnGetMultiUint16{"on_get_multi_uint16",
                                     {{"self"}, {"station", Check::Int}, {"name", Check::Str}, {"count", Check::Int}},
                                     hook_impl, nullptr, false, false, true};
const FunctionDecl kOnSetCoil{"on_set_coil",
                              {{"self"}, {"station", Check::Int}, {"name", Check::Str}, {"value"}},
                              hook_impl, nullptr, false, false, true};
const FunctionDecl kOnSetMultiCoil{"on_set_multi_coil_uint16",
                                   {{"self"}, {"station", Check::Int}, {"name", Check::Str}, {"values", Check::List}},
                                   hook_impl, nullptr, false, false, true};
const FunctionDecl kOnSetMultiUint16{"on_set_multi_uint16",
                                     {{"self"}, {"station", Check::Int}, {"name", Check::Str}, {"values", Check::List}},
                                     hook_impl, nullptr, false, false, true};

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
