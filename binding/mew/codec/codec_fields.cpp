// Field encodings: addresses, 16-/32-bit values (signed ones through the module's pack/unpack)
// and the request header.
#include "codec/codec_ops.hpp"
#include "codec/codec_support.hpp"
#include "ozu/codec/fields.hpp"

namespace ozu::mew::codec {
namespace {

// PyLong_AsLongLongAndOverflow of an int or bool; small values (the host's compact ints) are read inline.
long long long_value(PyObject* value, int& overflow) {
#if PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(value);
    if (PyUnstable_Long_IsCompact(number)) {
        overflow = 0;
        return PyUnstable_Long_CompactValue(number);
    }
#endif
    return PyLong_AsLongLongAndOverflow(value, &overflow);
}

// An exact int or bool as a 64-bit number; `overflow` is -1/+1 when it does not fit.
bool plain_int(PyObject* value, long long& v, int& overflow) {
    if (!PyLong_CheckExact(value) && !PyBool_Check(value)) return false;
    v = long_value(value, overflow);
    return true;
}

template <class T>
PyObject* int_result(PyObject* text, const core::Result<T>& r) {
    if (!r.ok()) return raise_failure(r.failure, text);
    // The same int either way; the signed constructor is the host's quick one for small values.
    if (r.value <= 0x3FFFFFFF) return PyLong_FromLong(static_cast<long>(r.value));
    return PyLong_FromUnsignedLongLong(r.value);
}

// value > limit, compared as the host compares the objects; -1 on error.
int above(PyObject* value, long long limit) {
    Handle bound = int_obj(limit);
    return bound ? PyObject_RichCompareBool(value, bound.get(), Py_GT) : -1;
}

PyObject* raise_out_of_range(PyObject* value, int bits) {
    return raise_failure({core::Error::value_out_of_range, core::Arg::value, {}, bits, 0}, nullptr, value);
}

// `assert value >= 0`, while assertions run. False with an exception set when it fails.
bool assert_not_negative(PyObject* value) {
    if (!py::assertions_enabled()) return true;
    Handle zero = int_obj(0);
    if (!zero) return false;
    const int ok = PyObject_RichCompareBool(value, zero.get(), Py_GE);
    if (ok < 0) return false;
    if (!ok) py::raise_assertion();
    return ok == 1;
}

// The 16-bit writer for any value: the host's operators and "%02X" formatting.
PyObject* fill_uint16_generic(PyObject* data, PyObject* value) {
    if (!assert_not_negative(value)) return nullptr;
    // Any value that compares above the range is refused, whatever its type (70000.0 too).
    const int wide = above(value, 0xFFFF);
    if (wide) return wide < 0 ? nullptr : raise_out_of_range(value, 16);
    Handle mask = int_obj(255);
    Handle eight = int_obj(8);
    if (!mask || !eight) return nullptr;
    Handle low = py::steal(PyNumber_And(value, mask.get()));
    if (!low) return nullptr;
    Handle high = py::steal(PyNumber_Rshift(value, eight.get()));
    if (!high) return nullptr;
    Handle args = py::steal(PyTuple_Pack(3, data, low.get(), high.get()));
    Handle format = py::steal(PyUnicode_FromString("%s%02X%02X"));
    if (!args || !format) return nullptr;
    return PyUnicode_Format(format.get(), args.get());
}

PyObject* fill_uint32_generic(PyObject* data, PyObject* value) {
    if (!assert_not_negative(value)) return nullptr;
    const int wide = above(value, 0xFFFFFFFFLL);
    if (wide) return wide < 0 ? nullptr : raise_out_of_range(value, 32);
    Handle mask = int_obj(0xFFFF);
    Handle sixteen = int_obj(16);
    if (!mask || !sixteen) return nullptr;
    Handle low = py::steal(PyNumber_And(value, mask.get()));
    if (!low) return nullptr;
    Handle text = call_op(OZU_ID("fill_uint16"), data, low.get());
    if (!text) return nullptr;
    Handle high = py::steal(PyNumber_Rshift(value, sixteen.get()));
    if (!high) return nullptr;
    return expect_str(call_op(OZU_ID("fill_uint16"), text.get(), high.get())).release();
}

PyObject* with_field(PyObject* data, const core::Result<core::Ascii>& field, PyObject* value) {
    if (!field.ok()) return raise_failure(field.failure, nullptr, value);
    return join({data, field.value.view()}).release();
}

// fill_int16 / fill_int32: value packed signed, unpacked unsigned, written by the unsigned writer.
PyObject* fill_signed(PyObject* data, PyObject* value, int bits) {
    long long v = 0;
    int overflow = 0;
    if (class_untouched() && struct_untouched() && plain_int(value, v, overflow) && !overflow) {
        if (bits == 16 && core::fits_int16(v)) return with_field(data, core::uint16_field(core::pattern16(v), true), value);
        if (bits == 32 && core::fits_int32(v)) return with_field(data, core::uint32_field(core::pattern32(v), true), value);
    }
    Handle pattern = bits == 16 ? repack(value, "h", "H") : repack(value, "i", "I");
    if (!pattern) return nullptr;
    return expect_str(call_op(bits == 16 ? OZU_ID("fill_uint16") : OZU_ID("fill_uint32"), data, pattern.get())).release();
}

}  // namespace

PyObject* parse_contact_address(BoundArgs& args) {
    auto [address] = args.take<1>();
    return int_result(address, with_text(address, [](auto t) { return core::parse_contact_address(t); }));
}

PyObject* parse_register_address(BoundArgs& args) {
    auto [address] = args.take<1>();
    const auto r = with_text(address, [](auto t) { return core::parse_register_address(t); });
    if (!r.ok() && r.failure.error == core::Error::too_large) return PyLong_FromUnicodeObject(address, 10);
    return int_result(address, r);
}

PyObject* parse_uint16(BoundArgs& args) {
    auto [data] = args.take<1>();
    return int_result(data, with_text(data, [](auto t) { return core::parse_uint16(t); }));
}

// A signed field: the unsigned one read by `unsigned_op`, its bits taken as signed (the struct
// codes say how when the codec class or struct is replaced).
template <typename Parse, typename ToSigned>
PyObject* parse_signed(PyObject* data, Parse parse, ToSigned to_signed, PyObject* unsigned_op,
                       const char* unsigned_code, const char* signed_code) {
    if (class_untouched() && struct_untouched()) {
        const auto r = with_text(data, parse);
        if (!r.ok()) return raise_failure(r.failure, data);
        return PyLong_FromLongLong(to_signed(r.value));
    }
    Handle pattern = call_op(unsigned_op, data);
    if (!pattern) return nullptr;
    return expect_int(repack(pattern.get(), unsigned_code, signed_code)).release();
}

PyObject* parse_int16(BoundArgs& args) {
    auto [data] = args.take<1>();
    return parse_signed(
        data, [](auto t) { return core::parse_uint16(t); }, [](auto v) { return core::as_int16(v); },
        OZU_ID("parse_uint16"), "H", "h");
}

PyObject* parse_uint32(BoundArgs& args) {
    auto [data] = args.take<1>();
    if (class_untouched()) return int_result(data, with_text(data, [](auto t) { return core::parse_uint32(t); }));
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(data));
    Handle low_text = substring(data, core::slice(n, 0, 4));
    if (!low_text) return nullptr;
    Handle low = call_op(OZU_ID("parse_uint16"), low_text.get());
    if (!low) return nullptr;
    Handle high_text = substring(data, core::slice(n, 4, 8));
    if (!high_text) return nullptr;
    Handle high = call_op(OZU_ID("parse_uint16"), high_text.get());
    if (!high) return nullptr;
    Handle sixteen = int_obj(16);
    if (!sixteen) return nullptr;
    Handle shifted = py::steal(PyNumber_Lshift(high.get(), sixteen.get()));
    if (!shifted) return nullptr;
    return expect_int(py::steal(PyNumber_Or(shifted.get(), low.get()))).release();
}

PyObject* parse_int32(BoundArgs& args) {
    auto [data] = args.take<1>();
    return parse_signed(
        data, [](auto t) { return core::parse_uint32(t); }, [](auto v) { return core::as_int32(v); },
        OZU_ID("parse_uint32"), "I", "i");
}

PyObject* fill_header(BoundArgs& args) {
    auto [station, cmd] = args.take<2>();
    int overflow = 0;
    const long long s = long_value(station, overflow);  // an exact int: the binder checked it
    if (overflow < 0 || (!overflow && s < 0))
        return raise_failure({core::Error::negative_station, core::Arg::station, {}, 0, 0}, nullptr, station);
    if (!overflow && class_untouched())
        return ascii_around(core::header_prefix(static_cast<std::uint64_t>(s)).view(), cmd, {}).release();
    Handle query = class_attr(OZU_ID("QUERY"));
    if (!query) return nullptr;
    Handle parts = py::steal(PyTuple_Pack(3, station, query.get(), cmd));
    Handle format = py::steal(PyUnicode_FromString("%%%02X%s%s"));
    if (!parts || !format) return nullptr;
    return PyUnicode_Format(format.get(), parts.get());
}

PyObject* fill_contact_address(BoundArgs& args) {
    auto [data, address] = args.take<2>();
    const std::size_t pad = core::contact_padding(static_cast<std::size_t>(PyUnicode_GET_LENGTH(address)));
    return join({data, std::string_view("0000", pad), address}).release();
}

PyObject* fill_uint16(BoundArgs& args) {
    auto [data, value] = args.take<2>();
    long long v = 0;
    int overflow = 0;
    if (plain_int(value, v, overflow)) {
        if (!overflow && v >= 0 && v <= 0xFFFF) {
            // The usual case: a value in range is written as its four digits.
            const auto digits = core::uint16_digits(static_cast<std::uint16_t>(v));
            return ascii_around({}, data, std::string_view(digits.data(), digits.size())).release();
        }
        if (overflow > 0) return raise_out_of_range(value, 16);
        if (!overflow) return with_field(data, core::uint16_field(v, py::assertions_enabled()), value);
        if (py::assertions_enabled()) return py::raise_assertion();
    }
    return fill_uint16_generic(data, value);
}

PyObject* fill_int16(BoundArgs& args) {
    auto [data, value] = args.take<2>();
    return fill_signed(data, value, 16);
}

PyObject* fill_uint32(BoundArgs& args) {
    auto [data, value] = args.take<2>();
    long long v = 0;
    int overflow = 0;
    if (class_untouched() && plain_int(value, v, overflow)) {
        if (overflow > 0) return raise_out_of_range(value, 32);
        if (!overflow) return with_field(data, core::uint32_field(v, py::assertions_enabled()), value);
        if (py::assertions_enabled()) return py::raise_assertion();
    }
    return fill_uint32_generic(data, value);
}

PyObject* fill_int32(BoundArgs& args) {
    auto [data, value] = args.take<2>();
    return fill_signed(data, value, 32);
}

}  // namespace ozu::mew::codec
