// MewMaster: typed reads and writes of contacts and data registers, each one query.
#include "master/errors.hpp"
#include "master/master.hpp"

#include "codec/codec_support.hpp"
#include "link/link_support.hpp"
#include "runtime/calls.hpp"
#include "runtime/class_builder.hpp"
#include "runtime/module_globals.hpp"
#include "ozu/codec/fields.hpp"

#include <climits>
#include <initializer_list>

namespace ozu::mew::master {
namespace {

using namespace ozu::py;

// MewStatic.<builder>(args...), with keyword names for the trailing arguments when given.
Handle build_request(PyObject* builder, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    Handle fn = codec::class_attr(builder);
    if (!fn) return {};
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return steal(PyObject_Vectorcall(fn.get(), args.begin(), args.size() - static_cast<size_t>(nkw), kwnames));
}

Handle query(PyObject* self, const Handle& request) {
    if (!request) return {};
    return call_method(self, OZU_ID("query"), request.get());
}

Handle item(PyObject* seq, Py_ssize_t index) {
    Handle i = steal(PyLong_FromSsize_t(index));
    if (!i) return {};
    return steal(PyObject_GetItem(seq, i.get()));
}

// ---------------------------------------------------------------- answers

// One word of an answer: the high byte's digits, then the low byte's, read as hexadecimal in
// either case and nothing else, with int()'s wording for anything else.
Handle parse_word(PyObject* v_str) {
    if (PyUnicode_Check(v_str)) {
        if (PyUnicode_GET_LENGTH(v_str) <= 8) return codec::read_int(v_str, 16);
        PyErr_Format(PyExc_ValueError, "invalid literal for int() with base 16: %.200R", v_str);
        return {};
    }
    Handle sixteen = codec::int_obj(16);
    if (!sixteen) return {};
    return steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyLong_Type), v_str, sixteen.get(), nullptr));
}

// fb[a:b] + fb[c:d]
Handle join_pieces(PyObject* fb, Py_ssize_t a, Py_ssize_t b, Py_ssize_t c, Py_ssize_t d) {
    Handle first = steal(PySequence_GetSlice(fb, a, b));
    if (!first) return {};
    Handle second = steal(PySequence_GetSlice(fb, c, d));
    if (!second) return {};
    return steal(PyNumber_Add(first.get(), second.get()));
}

// The words of a read answer's command part: two command letters, then four digits per word.
Handle decode_words(PyObject* self, PyObject* fb, PyObject* count_obj) {
    Py_ssize_t length = PyObject_Size(fb);
    if (length < 0) return {};
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(count_obj, &overflow);
    if (count == -1 && PyErr_Occurred()) return {};
    bool fits = overflow == 0 && count < (PY_SSIZE_T_MAX - 2) / 4;
    if (!fits || count * 4 + 2 != length) {
        Handle port = port_text_of(self);
        if (!port) return {};
        return steal(raise_answer_error(steal(PyUnicode_FromFormat("%U:Invalid feedback format:[%S]", port.get(), fb))));
    }
    const Py_ssize_t n = static_cast<Py_ssize_t>(count < 0 ? 0 : count);
    Handle values = steal(PyList_New(n));
    if (!values) return {};
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(values.get(), i, codec::int_obj(0).release());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Handle v_str = join_pieces(fb, i * 4 + 4, i * 4 + 6, i * 4 + 2, i * 4 + 4);
        if (!v_str) return {};
        Handle word = parse_word(v_str.get());
        if (!word) return steal(retype_parse_error());
        if (PyList_SetItem(values.get(), i, word.release()) < 0) return {};
    }
    return values;
}

Handle read_words(PyObject* self, Handle request, PyObject* count) {
    Handle fb = query(self, request);
    if (!fb) return {};
    return decode_words(self, fb.get(), count);
}

// ---------------------------------------------------------------- signed patterns

struct Pattern {
    const char* from;  // format the value is packed with
    const char* to;    // format it is unpacked with
    long long lo, hi;  // range the packing accepts
    long long (*read)(long long value);  // the reinterpretation of a value in that range
};

// The reinterpretations of values in range, by the codec's own functions.
long long signed16(long long v) { return ozu::codec::as_int16(static_cast<std::uint32_t>(v)); }
long long unsigned16(long long v) { return ozu::codec::pattern16(v); }
long long signed32(long long v) { return ozu::codec::as_int32(static_cast<std::uint64_t>(v)); }
long long unsigned32(long long v) { return ozu::codec::pattern32(v); }

constexpr Pattern kU16toS16 = {"H", "h", 0, 0xFFFF, signed16};
constexpr Pattern kS16toU16 = {"h", "H", -0x8000, 0x7FFF, unsigned16};
constexpr Pattern kU32toS32 = {"I", "i", 0, 0xFFFFFFFFLL, signed32};
constexpr Pattern kS32toU32 = {"i", "I", -0x80000000LL, 0x7FFFFFFF, unsigned32};

// unpack(to, pack(from, value))[0], through the module's pack and unpack. When they are still
// the standard ones and the value packs, the reinterpretation is done here, with the same result.
Handle reinterpret(PyObject* value, const Pattern& p) {
    PyObject* pack = global(OZU_ID("pack"));
    if (!pack) return {};
    Handle keep_pack = borrow(pack);
    PyObject* unpack = global(OZU_ID("unpack"));
    if (!unpack) return {};
    Handle keep_unpack = borrow(unpack);
    if (PyLong_CheckExact(value) && codec::struct_untouched()) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!(v == -1 && PyErr_Occurred()) && overflow == 0 && v >= p.lo && v <= p.hi)
            return steal(PyLong_FromLongLong(p.read(v)));
        PyErr_Clear();
    }
    Handle from = steal(PyUnicode_FromString(p.from));
    Handle to = steal(PyUnicode_FromString(p.to));
    if (!from || !to) return {};
    PyObject* pack_args[] = {from.get(), value};
    Handle packed = steal(PyObject_Vectorcall(pack, pack_args, 2, nullptr));
    if (!packed) return {};
    PyObject* unpack_args[] = {to.get(), packed.get()};
    Handle unpacked = steal(PyObject_Vectorcall(unpack, unpack_args, 2, nullptr));
    if (!unpacked) return {};
    return item(unpacked.get(), 0);
}

// [reinterpret(v) for v in values]
Handle reinterpret_all(PyObject* values, const Pattern& p) {
    Handle out = steal(PyList_New(0));
    Handle it = steal(PyObject_GetIter(values));
    if (!out || !it) return {};
    while (Handle v = steal(PyIter_Next(it.get()))) {
        Handle r = reinterpret(v.get(), p);
        if (!r || PyList_Append(out.get(), r.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return out;
}

// `low, high = words`, with the interpreter's unpacking errors.
bool unpack_two(PyObject* words, Handle& low, Handle& high) {
    Handle it = steal(PyObject_GetIter(words));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(words)->tp_iter == nullptr && !PySequence_Check(words)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(words)->tp_name);
        }
        return false;
    }
    Handle* slots[] = {&low, &high};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return false;
        }
    }
    Handle extra = steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

// [value & 0xFFFF, (value >> 16) & 0xFFFF] appended to words.
bool append_halves(PyObject* words, PyObject* value) {
    static PyObject* const mask = PyLong_FromLong(0xFFFF);
    static PyObject* const sixteen = PyLong_FromLong(16);
    Handle low = steal(PyNumber_And(value, mask));
    if (!low || PyList_Append(words, low.get()) < 0) return false;
    Handle shifted = steal(PyNumber_Rshift(value, sixteen));
    if (!shifted) return false;
    Handle high = steal(PyNumber_And(shifted.get(), mask));
    return high && PyList_Append(words, high.get()) == 0;
}

Handle one_element_list(PyObject* value) {
    Handle list = steal(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, Py_NewRef(value));
    return list;
}

PyObject* done(const Handle& result) { return result ? none().release() : nullptr; }

// ---------------------------------------------------------------- operations

PyObject* init_impl(BoundArgs& args) {
    auto [self] = args.take<1>();
    if (!call_global_member(OZU_ID("MewMasterBase"), OZU_ID("__init__"), self, args.star_args.get(), args.kwargs.get()))
        return nullptr;
    // The link's own start: a derived class's start (which may start more) is its own business.
    PyObject* link = global(OZU_ID("MewBase"));
    if (!link) return nullptr;
    Handle start = steal(PyObject_GetAttr(link, OZU_ID("start")));
    if (!start) return nullptr;
    return PyObject_CallOneArg(start.get(), self);
}

PyObject* get_coil_impl(BoundArgs& args) {
    auto [self, station, name] = args.take<3>();
    Handle fb = query(self, build_request(OZU_ID("fill_read_single_point_of_contact_message"), {station, name}));
    if (!fb) return nullptr;
    Handle bit = steal(PySequence_GetItem(fb.get(), 2));
    if (!bit) return retype_parse_error();  // an answer without its contact's digit
    static PyObject* const one = PyUnicode_InternFromString("1");
    int on = PyObject_RichCompareBool(bit.get(), one, Py_EQ);
    if (on < 0) return nullptr;
    return boolean(on).release();
}

PyObject* first_of(Handle list) { return list ? item(list.get(), 0).release() : nullptr; }

PyObject* get_coil_uint16_impl(BoundArgs& args) {
    auto [self, station, name] = args.take<3>();
    Handle one = codec::int_obj(1);
    if (!one) return nullptr;
    return first_of(call_method(self, OZU_ID("get_multi_coil_uint16"), station, name, one.get()));
}

PyObject* get_multi_coil_uint16_impl(BoundArgs& args) {
    auto [self, station, name, count] = args.take<4>();
    static PyObject* const kw = PyTuple_Pack(1, OZU_ID("word_count"));
    Handle request = build_request(OZU_ID("fill_read_word_unit_of_contact_message"), {station, name, count}, kw);
    return read_words(self, std::move(request), count).release();
}

PyObject* get_uint16_impl(BoundArgs& args) {
    auto [self, station, name] = args.take<3>();
    Handle one = codec::int_obj(1);
    if (!one) return nullptr;
    return first_of(call_method(self, OZU_ID("get_multi_uint16"), station, name, one.get()));
}

PyObject* get_multi_uint16_impl(BoundArgs& args) {
    auto [self, station, name, count] = args.take<4>();
    Handle request = build_request(OZU_ID("fill_read_data_area_message"), {station, name, count});
    return read_words(self, std::move(request), count).release();
}

PyObject* get_int16_impl(BoundArgs& args) {
    auto [self, station, name] = args.take<3>();
    Handle v = call_method(self, OZU_ID("get_uint16"), station, name);
    return v ? reinterpret(v.get(), kU16toS16).release() : nullptr;
}

PyObject* get_uint32_impl(BoundArgs& args) {
    auto [self, station, name] = args.take<3>();
    Handle two = codec::int_obj(2);
    if (!two) return nullptr;
    Handle words = call_method(self, OZU_ID("get_multi_uint16"), station, name, two.get());
    if (!words) return nullptr;
    Handle low, high;
    if (!unpack_two(words.get(), low, high)) return nullptr;
    Handle sixteen = codec::int_obj(16);
    if (!sixteen) return nullptr;
    Handle shifted = steal(PyNumber_Lshift(high.get(), sixteen.get()));
    if (!shifted) return nullptr;
    return PyNumber_Or(shifted.get(), low.get());
}

PyObject* get_int32_impl(BoundArgs& args) {
    auto [self, station, name] = args.take<3>();
    Handle v = call_method(self, OZU_ID("get_uint32"), station, name);
    return v ? reinterpret(v.get(), kU32toS32).release() : nullptr;
}

PyObject* get_multi_uint32_impl(BoundArgs& args) {
    auto [self, station, name, count] = args.take<4>();
    Handle two = codec::int_obj(2);
    if (!two) return nullptr;
    Handle words_count = steal(PyNumber_Multiply(count, two.get()));
    if (!words_count) return nullptr;
    Handle words = call_method(self, OZU_ID("get_multi_uint16"), station, name, words_count.get());
    if (!words) return nullptr;
    const Py_ssize_t n = PyLong_AsSsize_t(count);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    Handle sixteen = codec::int_obj(16);
    Handle values = steal(PyList_New(0));
    if (!sixteen || !values) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Handle high = item(words.get(), 2 * i + 1);
        if (!high) return nullptr;
        Handle shifted = steal(PyNumber_Lshift(high.get(), sixteen.get()));
        if (!shifted) return nullptr;
        Handle low = item(words.get(), 2 * i);
        if (!low) return nullptr;
        Handle value = steal(PyNumber_Add(shifted.get(), low.get()));
        if (!value || PyList_Append(values.get(), value.get()) < 0) return nullptr;
    }
    return values.release();
}

PyObject* get_multi_int32_impl(BoundArgs& args) {
    auto [self, station, name, count] = args.take<4>();
    Handle values = call_method(self, OZU_ID("get_multi_uint32"), station, name, count);
    return values ? reinterpret_all(values.get(), kU32toS32).release() : nullptr;
}

PyObject* set_coil_impl(BoundArgs& args) {
    auto [self, station, name, value] = args.take<4>();
    return done(query(self, build_request(OZU_ID("fill_write_single_point_of_contact_message"), {station, name, value})));
}

// Words written by one request: contact words or data registers, as the builder says.
constexpr char kWriteContactWords[] = "fill_write_word_unit_of_contact_message";
constexpr char kWriteRegisters[] = "fill_write_data_area_message";

// self.query(MewStatic.<Builder>(station, name, [value]))
template <const char* Builder>
PyObject* write_word(BoundArgs& args) {
    auto [self, station, name, value] = args.take<4>();
    Handle values = one_element_list(value);
    if (!values) return nullptr;
    return done(query(self, build_request(OZU_ID(Builder), {station, name, values.get()})));
}

// self.query(MewStatic.<Builder>(station, name, values))
template <const char* Builder>
PyObject* write_words(BoundArgs& args) {
    auto [self, station, name, values] = args.take<4>();
    return done(query(self, build_request(OZU_ID(Builder), {station, name, values})));
}

PyObject* set_uint32_impl(BoundArgs& args) {
    auto [self, station, name, value] = args.take<4>();
    Handle words = steal(PyList_New(0));
    if (!words || !append_halves(words.get(), value)) return nullptr;
    return done(call_method(self, OZU_ID("set_multi_uint16"), station, name, words.get()));
}

PyObject* set_int16_impl(BoundArgs& args) {
    auto [self, station, name, value] = args.take<4>();
    Handle pattern = reinterpret(value, kS16toU16);
    if (!pattern) return nullptr;
    return done(call_method(self, OZU_ID("set_uint16"), station, name, pattern.get()));
}

PyObject* set_int32_impl(BoundArgs& args) {
    auto [self, station, name, value] = args.take<4>();
    Handle pattern = reinterpret(value, kS32toU32);
    if (!pattern) return nullptr;
    return done(call_method(self, OZU_ID("set_uint32"), station, name, pattern.get()));
}

PyObject* set_multi_int16_impl(BoundArgs& args) {
    auto [self, station, name, values] = args.take<4>();
    Handle patterns = reinterpret_all(values, kS16toU16);
    if (!patterns) return nullptr;
    return done(call_method(self, OZU_ID("set_multi_uint16"), station, name, patterns.get()));
}

PyObject* set_multi_uint32_impl(BoundArgs& args) {
    auto [self, station, name, values] = args.take<4>();
    Handle words = steal(PyList_New(0));
    Handle it = steal(PyObject_GetIter(values));
    if (!words || !it) return nullptr;
    while (Handle v = steal(PyIter_Next(it.get())))
        if (!append_halves(words.get(), v.get())) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    return done(call_method(self, OZU_ID("set_multi_uint16"), station, name, words.get()));
}

PyObject* set_multi_int32_impl(BoundArgs& args) {
    auto [self, station, name, values] = args.take<4>();
    Handle patterns = reinterpret_all(values, kS32toU32);
    if (!patterns) return nullptr;
    return done(call_method(self, OZU_ID("set_multi_uint32"), station, name, patterns.get()));
}

constexpr Param kSelf = {"self"};
constexpr Param kStation = {"station", Check::Int};
constexpr Param kName = {"name", Check::Str};
constexpr Param kCount = {"count", Check::Int};
constexpr Param kValue = {"value", Check::Int};
constexpr Param kValues = {"values", Check::List};

const FunctionDecl kInit = {.name = "__init__", .params = {kSelf}, .impl = init_impl, .star_args = true, .star_kwargs = true};
const FunctionDecl kOps[] = {
    {"get_coil", {kSelf, kStation, {"name"}}, get_coil_impl},
    {"get_coil_uint16", {kSelf, kStation, kName}, get_coil_uint16_impl},
    {"get_multi_coil_uint16", {kSelf, kStation, kName, kCount}, get_multi_coil_uint16_impl},
    {"get_uint16", {kSelf, kStation, kName}, get_uint16_impl},
    {"get_multi_uint16", {kSelf, kStation, kName, kCount}, get_multi_uint16_impl},
    {"get_int16", {kSelf, kStation, kName}, get_int16_impl},
    {"get_uint32", {kSelf, kStation, kName}, get_uint32_impl},
    {"get_int32", {kSelf, kStation, kName}, get_int32_impl},
    {"get_multi_uint32", {kSelf, kStation, kName, kCount}, get_multi_uint32_impl},
    {"get_multi_int32", {kSelf, kStation, {"name"}, {"count"}}, get_multi_int32_impl},
    {"set_coil", {kSelf, kStation, kName, {"value"}}, set_coil_impl},
    {"set_coil_uint16", {kSelf, kStation, kName, kValue}, write_word<kWriteContactWords>},
    {"set_multi_coil_uint16", {kSelf, kStation, kName, kValues}, write_words<kWriteContactWords>},
    {"set_uint16", {kSelf, kStation, kName, kValue}, write_word<kWriteRegisters>},
    {"set_multi_uint16", {kSelf, kStation, kName, kValues}, write_words<kWriteRegisters>},
    {"set_uint32", {kSelf, kStation, kName, kValue}, set_uint32_impl},
    {"set_int16", {kSelf, kStation, kName, kValue}, set_int16_impl},
    {"set_int32", {kSelf, kStation, kName, kValue}, set_int32_impl},
    {"set_multi_int16", {kSelf, kStation, kName, kValues}, set_multi_int16_impl},
    {"set_multi_uint32", {kSelf, kStation, kName, kValues}, set_multi_uint32_impl},
    {"set_multi_int32", {kSelf, kStation, kName, kValues}, set_multi_int32_impl},
};

}  // namespace

bool add_master(PyObject* module_dict) {
    PyObject* base = PyDict_GetItemString(module_dict, "MewMasterBase");
    if (!base) {
        PyErr_SetString(PyExc_ImportError, "MewMaster needs MewMasterBase");
        return false;
    }
    ClassBuilder builder("MewMaster");
    builder.base(base).method(kInit);
    for (const FunctionDecl& op : kOps) builder.method(op);
    Handle cls = builder.build();
    return cls && PyDict_SetItemString(module_dict, "MewMaster", cls.get()) == 0;
}

}  // namespace ozu::mew::master
