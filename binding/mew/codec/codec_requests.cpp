// Request builders. The fast path builds the whole frame in the core while MewStatic is untouched;
// otherwise (or for numbers beyond 64 bits and values that are not plain ints) the frame is
// composed step by step through the class's current operations.
#include "codec/codec_ops.hpp"
#include "codec/codec_support.hpp"
#include "ozu/codec/requests.hpp"

#include <cstdio>
#include <vector>

namespace ozu::mew::codec {
namespace {

core::BuildOptions options() { return {py::assertions_enabled()}; }

bool as_int64(PyObject* value, std::int64_t& out) {
    if (!PyLong_CheckExact(value) && !PyBool_Check(value)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    out = v;
    return overflow == 0;
}

// The items of an exact list of plain ints that fit 64 bits; short lists need no allocation.
class Int64Values {
public:
    bool read(PyObject* values) {
        if (!PyList_CheckExact(values)) return false;
        const auto n = static_cast<std::size_t>(PyList_GET_SIZE(values));
        std::int64_t* out = small_;
        if (n > kSmall) {
            large_.resize(n);
            out = large_.data();
        }
        for (std::size_t i = 0; i < n; ++i)
            if (!as_int64(PyList_GET_ITEM(values, static_cast<Py_ssize_t>(i)), out[i])) return false;
        items_ = {out, n};
        return true;
    }
    std::span<const std::int64_t> items() const { return items_; }

private:
    static constexpr std::size_t kSmall = 32;
    std::int64_t small_[kSmall];
    std::vector<std::int64_t> large_;
    std::span<const std::int64_t> items_;
};

// Values whose truth cannot fail or run code of the caller's.
bool plain_truth(PyObject* value) {
    return PyBool_Check(value) || value == Py_None || PyLong_CheckExact(value);
}

// The text a failure's span refers to, by argument.
struct Names {
    PyObject* first = nullptr;   // contact / contact_start / reg_start / reg
    PyObject* second = nullptr;  // contact_end
    PyObject* of(core::Arg arg) const {
        switch (arg) {
            case core::Arg::contact:
            case core::Arg::contact_start:
            case core::Arg::reg_start:
            case core::Arg::reg: return first;
            case core::Arg::contact_end: return second;
            default: return nullptr;
        }
    }
};

// Result of a fast build: done (frame or exception), or redo it step by step.
struct Fast {
    bool done = false;
    PyObject* result = nullptr;
};

Fast finish(const core::Result<core::Frame>& r, Names names) {
    if (r.ok()) return {true, ascii_str(r.value.view()).release()};
    if (r.failure.error == core::Error::too_large) return {};
    return {true, raise_failure(r.failure, names.of(r.failure.arg))};
}

// ----------------------------------------------------------------------------- step by step

Handle append(Handle data, PyObject* text) {
    if (!data) return {};
    return py::steal(PyNumber_InPlaceAdd(data.get(), text));
}

Handle append(Handle data, Handle text) {
    if (!text) return {};
    return append(std::move(data), text.get());
}

// text[start:] of a str.
Handle tail_from(PyObject* text, std::ptrdiff_t start) {
    return substring(text, core::slice_from(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)), start));
}

// text[i], IndexError when the text is shorter.
Handle char_of(PyObject* text, std::size_t i) {
    if (static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)) <= i) {
        raise_index_error();
        return {};
    }
    return char_at(text, i);
}

// `assert condition`, while assertions run; false with an exception set when it fails.
bool check_assert(int condition) {
    if (condition < 0) return false;
    if (!condition) py::raise_assertion();
    return condition == 1;
}

bool fail(const core::Failure& f, PyObject* text, PyObject* number = nullptr) {
    if (!f) return false;
    raise_failure(f, text, number);
    return true;
}

// A host integer checked by one of the core's range checks (the number is reported as given).
bool fails_range(PyObject* number, core::Failure (*check)(std::int64_t, core::Arg), core::Arg arg) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (v == -1 && PyErr_Occurred()) return true;
    const core::Failure f = overflow ? check(overflow > 0 ? INT64_MAX : INT64_MIN, arg) : check(v, arg);
    return fail(f, nullptr, number);
}

Handle header(PyObject* station, const char* cmd) {
    Handle command = py::steal(PyUnicode_FromString(cmd));
    if (!command) return {};
    return call_op(OZU_ID("fill_header"), station, command.get());
}

Handle contact_address(Handle data, Handle address) {
    if (!data || !address) return {};
    return call_op(OZU_ID("fill_contact_address"), data.get(), address.get());
}

// int(name[2:]): the word number of a word name.
Handle word_number(PyObject* name) {
    Handle text = tail_from(name, 2);
    return text ? read_int(text.get(), 10) : Handle{};
}

// first + count - 1
Handle last_of(PyObject* first, PyObject* count) {
    Handle one = int_obj(1);
    Handle sum = one ? py::steal(PyNumber_Add(first, count)) : Handle{};
    return sum ? py::steal(PyNumber_Subtract(sum.get(), one.get())) : Handle{};
}

// The header of a word command and its first word: area letter and word number of `start`.
Handle word_header(PyObject* station, const char* cmd, PyObject* start) {
    Handle data = header(station, cmd);
    if (!data) return {};
    data = append(std::move(data), char_of(start, 1));
    if (!data) return {};
    return contact_address(std::move(data), tail_from(start, 2));
}

PyObject* with_tail(Handle data) {
    if (!data) return nullptr;
    return expect_str(call_op(OZU_ID("append_tail"), data.get())).release();
}

Handle uint16_values(Handle data, PyObject* values) {
    if (!data) return {};
    Handle it = py::steal(PyObject_GetIter(values));
    if (!it) return {};
    while (Handle item = py::steal(PyIter_Next(it.get()))) {
        data = call_op(OZU_ID("fill_uint16"), data.get(), item.get());
        if (!data) return {};
    }
    if (PyErr_Occurred()) return {};
    return data;
}

PyObject* contact_steps(PyObject* station, PyObject* contact, const char* cmd, PyObject* value) {
    if (fail(core::check_contact_name(any_text(contact)), contact)) return nullptr;
    Handle data = header(station, cmd);
    if (!data) return nullptr;
    data = append(std::move(data), char_of(contact, 0));
    if (!data) return nullptr;
    data = contact_address(std::move(data), tail_from(contact, 1));
    if (!data) return nullptr;
    if (value) {
        const int on = PyObject_IsTrue(value);
        if (on < 0) return nullptr;
        Handle bit = ascii_str(on ? "1" : "0");
        data = append(std::move(data), std::move(bit));
    }
    return with_tail(std::move(data));
}

PyObject* read_words_steps(PyObject* station, PyObject* start, PyObject* end, PyObject* count) {
    const bool asserts = py::assertions_enabled();
    if (asserts) {
        Handle first = char_of(start, 0);
        if (!first) return nullptr;
        if (!check_assert(PyUnicode_CompareWithASCIIString(first.get(), "W") == 0)) return nullptr;
        if (!check_assert((end != Py_None) != (count != Py_None))) return nullptr;
    }
    Handle last;
    Handle computed_end;
    if (count != Py_None) {
        Handle zero = int_obj(0);
        if (!zero) return nullptr;
        if (asserts && !check_assert(PyObject_RichCompareBool(count, zero.get(), Py_GT))) return nullptr;
        Handle word = word_number(start);
        if (!word) return nullptr;
        last = last_of(word.get(), count);
        if (!last) return nullptr;
        Handle digits = py::steal(PyObject_Str(last.get()));
        if (!digits) return nullptr;
        Handle area = substring(start, core::slice(static_cast<std::size_t>(PyUnicode_GET_LENGTH(start)), 0, 2));
        if (!area) return nullptr;
        computed_end = join({area.get(), digits.get()});
        if (!computed_end) return nullptr;
    } else if (asserts) {
        Handle area_start = char_of(start, 1);
        Handle area_end = area_start ? char_of(end, 1) : Handle{};
        if (!area_end) return nullptr;
        if (!check_assert(PyObject_RichCompareBool(area_start.get(), area_end.get(), Py_EQ))) return nullptr;
        Handle end_word = word_number(end);
        if (!end_word) return nullptr;
        Handle start_word = word_number(start);
        if (!start_word) return nullptr;
        if (!check_assert(PyObject_RichCompareBool(end_word.get(), start_word.get(), Py_GE))) return nullptr;
    }
    if (fail(core::check_word_name(any_text(start), core::Arg::contact_start, true), start)) return nullptr;
    if (end != Py_None &&
        fail(core::check_word_name(any_text(end), core::Arg::contact_end, count == Py_None), end))
        return nullptr;
    if (last && fails_range(last.get(), core::check_word_number, core::Arg::word_count)) return nullptr;

    Handle data = word_header(station, "RCC", start);
    if (!data) return nullptr;
    PyObject* end_name = computed_end ? computed_end.get() : end;
    Handle two = int_obj(2);
    Handle from_two = two ? py::steal(PySlice_New(two.get(), nullptr, nullptr)) : Handle{};
    if (!from_two) return nullptr;
    Handle end_word = py::steal(PyObject_GetItem(end_name, from_two.get()));
    data = contact_address(std::move(data), std::move(end_word));
    return with_tail(std::move(data));
}

PyObject* write_words_steps(PyObject* station, PyObject* start, PyObject* values) {
    if (py::assertions_enabled()) {
        Handle first = char_of(start, 0);
        if (!first) return nullptr;
        int ok = PyUnicode_CompareWithASCIIString(first.get(), "W") == 0;
        if (ok) {
            const Py_ssize_t n = PyObject_Length(values);
            ok = n < 0 ? -1 : n > 0;
        }
        if (!check_assert(ok)) return nullptr;
    }
    if (fail(core::check_word_name(any_text(start), core::Arg::contact_start, true), start)) return nullptr;
    Handle data = word_header(station, "WCC", start);
    if (!data) return nullptr;
    Handle word = word_number(start);
    if (!word) return nullptr;
    const Py_ssize_t n = PyObject_Length(values);
    if (n < 0) return nullptr;
    // The word number has at most four digits here.
    const long long last = PyLong_AsLongLong(word.get()) + static_cast<long long>(n) - 1;
    Handle last_obj = int_obj(last);
    if (!last_obj || fail(core::check_word_number(last, core::Arg::values), nullptr, last_obj.get())) return nullptr;
    data = contact_address(std::move(data), py::steal(PyObject_Str(last_obj.get())));
    data = uint16_values(std::move(data), values);
    return with_tail(std::move(data));
}

// Area letter, first and last register for "RD" and "WD". `count` is reg_count, or null to take
// the number of `values` (counted after the first register is read, as the builder does).
Handle register_steps(Handle data, PyObject* reg, PyObject* count, PyObject* values, core::Arg name_arg) {
    if (!data) return {};
    Handle second = char_of(reg, 1);
    if (!second) return {};
    const Py_UCS4 c = PyUnicode_READ_CHAR(second.get(), 0);
    Handle address = tail_from(reg, (c >= '0' && c <= '9') ? 1 : 2);
    if (!address) return {};
    data = append(std::move(data), char_of(reg, 0));
    if (!data) return {};
    Handle first = read_int(address.get(), 10);
    if (!first || fails_range(first.get(), core::check_register_number, name_arg)) return {};
    Handle number = count ? py::borrow(count) : Handle{};
    if (!count) {
        const Py_ssize_t n = PyObject_Length(values);
        if (n < 0) return {};
        number = py::steal(PyLong_FromSsize_t(n));
        if (!number) return {};
    }
    Handle last = last_of(first.get(), number.get());
    if (!last || fails_range(last.get(), core::check_register_number, count ? core::Arg::reg_count : core::Arg::values))
        return {};
    char digits[16];
    const long long a = PyLong_AsLongLong(first.get());
    const long long b = PyLong_AsLongLong(last.get());
    std::snprintf(digits, sizeof digits, "%05lld%05lld", a, b);
    return append(std::move(data), ascii_str(digits));
}

PyObject* read_registers_steps(PyObject* station, PyObject* reg_start, PyObject* reg_count) {
    if (py::assertions_enabled()) {
        Handle zero = int_obj(0);
        if (!zero || !check_assert(PyObject_RichCompareBool(reg_count, zero.get(), Py_GT))) return nullptr;
    }
    if (fail(core::check_register_name(any_text(reg_start), core::Arg::reg_start), reg_start)) return nullptr;
    Handle data = register_steps(header(station, "RD"), reg_start, reg_count, nullptr, core::Arg::reg_start);
    return with_tail(std::move(data));
}

PyObject* write_registers_steps(PyObject* station, PyObject* reg_start, PyObject* values, core::Arg name_arg) {
    if (py::assertions_enabled()) {
        const Py_ssize_t n = PyObject_Length(values);
        if (!check_assert(n < 0 ? -1 : n > 0)) return nullptr;
    }
    if (fail(core::check_register_name(any_text(reg_start), name_arg), reg_start)) return nullptr;
    Handle data = register_steps(header(station, "WD"), reg_start, nullptr, values, name_arg);
    data = uint16_values(std::move(data), values);
    return with_tail(std::move(data));
}

PyObject* write_registers(PyObject* station, PyObject* reg_start, PyObject* values, core::Arg name_arg) {
    std::int64_t s = 0;
    Int64Values numbers;
    if (class_untouched() && as_int64(station, s) && numbers.read(values)) {
        const Fast f = finish(core::build_write_registers(s, any_text(reg_start), numbers.items(), options(), name_arg),
                              {reg_start, nullptr});
        if (f.done) return f.result;
    }
    return write_registers_steps(station, reg_start, values, name_arg);
}

}  // namespace

PyObject* fill_read_single_point_of_contact_message(BoundArgs& args) {
    auto [station, contact] = args.take<2>();
    std::int64_t s = 0;
    if (class_untouched() && as_int64(station, s)) {
        const Fast f = finish(core::build_read_contact(s, any_text(contact), options()), {contact, nullptr});
        if (f.done) return f.result;
    }
    return contact_steps(station, contact, "RCS", nullptr);
}

PyObject* fill_write_single_point_of_contact_message(BoundArgs& args) {
    auto [station, contact, value] = args.take<3>();
    std::int64_t s = 0;
    if (class_untouched() && as_int64(station, s) && plain_truth(value)) {
        const bool on = PyObject_IsTrue(value) == 1;
        const Fast f = finish(core::build_write_contact(s, any_text(contact), on, options()), {contact, nullptr});
        if (f.done) return f.result;
    }
    return contact_steps(station, contact, "WCS", value);
}

PyObject* fill_read_word_unit_of_contact_message(BoundArgs& args) {
    auto [station, contact_start, contact_end, word_count] = args.take<4>();
    std::int64_t s = 0;
    std::int64_t n = 0;
    if (class_untouched() && as_int64(station, s) && (word_count == Py_None || as_int64(word_count, n))) {
        std::optional<core::AnyText> end_text;
        if (contact_end != Py_None) end_text = any_text(contact_end);
        std::optional<std::int64_t> count;
        if (word_count != Py_None) count = n;
        const Fast f = finish(core::build_read_contact_words(s, any_text(contact_start), end_text, count, options()),
                              {contact_start, contact_end});
        if (f.done) return f.result;
    }
    return read_words_steps(station, contact_start, contact_end, word_count);
}

PyObject* fill_write_word_unit_of_contact_message(BoundArgs& args) {
    auto [station, contact_start, values] = args.take<3>();
    std::int64_t s = 0;
    Int64Values numbers;
    if (class_untouched() && as_int64(station, s) && numbers.read(values)) {
        const Fast f = finish(core::build_write_contact_words(s, any_text(contact_start), numbers.items(), options()),
                              {contact_start, nullptr});
        if (f.done) return f.result;
    }
    return write_words_steps(station, contact_start, values);
}

PyObject* fill_read_data_area_message(BoundArgs& args) {
    auto [station, reg_start, reg_count] = args.take<3>();
    std::int64_t s = 0;
    std::int64_t n = 0;
    if (class_untouched() && as_int64(station, s) && as_int64(reg_count, n)) {
        const Fast f = finish(core::build_read_registers(s, any_text(reg_start), n, options()), {reg_start, nullptr});
        if (f.done) return f.result;
    }
    return read_registers_steps(station, reg_start, reg_count);
}

PyObject* fill_write_data_area_message(BoundArgs& args) {
    auto [station, reg_start, values] = args.take<3>();
    return write_registers(station, reg_start, values, core::Arg::reg_start);
}

PyObject* fill_write_single_data_message(BoundArgs& args) {
    auto [station, reg, value] = args.take<3>();
    std::int64_t s = 0;
    std::int64_t v = 0;
    if (class_untouched() && as_int64(station, s) && as_int64(value, v)) {
        const Fast f = finish(core::build_write_register(s, any_text(reg), v, options()), {reg, nullptr});
        if (f.done) return f.result;
    }
    if (fail(core::check_register_name(any_text(reg), core::Arg::reg), reg)) return nullptr;
    Handle values = py::steal(PyList_New(1));
    if (!values) return nullptr;
    PyList_SET_ITEM(values.get(), 0, Py_NewRef(value));
    Handle builder = class_attr(OZU_ID("fill_write_data_area_message"));
    if (!builder) return nullptr;
    if (py::is_function_of(builder.get(), write_data_area_decl()))
        return write_registers(station, reg, values.get(), core::Arg::reg);
    PyObject* call_args[] = {station, reg, values.get()};
    return expect_str(py::steal(PyObject_Vectorcall(builder.get(), call_args, 3, nullptr))).release();
}

}  // namespace ozu::mew::codec
