// Frame format and checks: block check, tail, station end, command code, frame type, answer
// matching and station number.
#include "codec/codec_ops.hpp"
#include "codec/codec_support.hpp"
#include "ozu/codec/frame.hpp"

namespace ozu::mew::codec {
namespace {

Handle add(PyObject* a, PyObject* b) { return py::steal(PyNumber_Add(a, b)); }

// Reads a station field that the core found too large for 64 bits.
PyObject* station_value(PyObject* data, const core::Result<std::uint64_t>& r) {
    if (r.ok()) return PyLong_FromUnsignedLongLong(r.value);
    if (r.failure.error != core::Error::too_large) return raise_failure(r.failure, data);
    return station_number(data, 0, false, r.failure.span).release();
}

PyObject* tail(PyObject* data, bool with_data) {
    if (class_untouched()) {
        const auto check = with_text(data, [](auto t) { return core::block_check(t); });
        if (!check.ok()) return raise_failure(check.failure, data);
        const auto digits = core::tail_of(check.value);
        const std::string_view text(digits.data(), digits.size());
        return (with_data ? join({data, text}) : ascii_str(text)).release();
    }
    Handle crc = call_op(OZU_ID("calc_crc"), data);
    if (!crc) return nullptr;
    Handle four = int_obj(4);
    Handle fifteen = int_obj(15);
    if (!four || !fifteen) return nullptr;
    Handle digits = class_attr(OZU_ID("HEX_DIGITS"));
    if (!digits) return nullptr;
    Handle high_index = py::steal(PyNumber_Rshift(crc.get(), four.get()));
    if (!high_index) return nullptr;
    Handle high = py::steal(PyObject_GetItem(digits.get(), high_index.get()));
    if (!high) return nullptr;
    digits = class_attr(OZU_ID("HEX_DIGITS"));
    if (!digits) return nullptr;
    Handle low_index = py::steal(PyNumber_And(crc.get(), fifteen.get()));
    if (!low_index) return nullptr;
    Handle low = py::steal(PyObject_GetItem(digits.get(), low_index.get()));
    if (!low) return nullptr;
    Handle text = with_data ? add(data, high.get()) : std::move(high);
    if (!text) return nullptr;
    text = add(text.get(), low.get());
    if (!text) return nullptr;
    Handle terminator = class_attr(OZU_ID("TAIL"));
    if (!terminator) return nullptr;
    return expect_str(add(text.get(), terminator.get())).release();
}

// The station end with the class's current constants, compared as the host compares objects.
PyObject* station_end_generic(PyObject* data) {
    PyObject* const names[] = {OZU_ID("TAIL"), OZU_ID("IGNORE_BCC"), OZU_ID("QUERY"), OZU_ID("FEEDBACK"),
                               OZU_ID("ERROR")};
    Handle marks[5];
    for (int i = 0; i < 5; ++i)
        if (!(marks[i] = class_attr(names[i]))) return nullptr;
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(data));
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        Handle c = char_at(data, i);
        if (!c) return nullptr;
        for (int j = 0; j < 5; ++j) {
            const int hit = PyObject_RichCompareBool(c.get(), marks[j].get(), Py_EQ);
            if (hit < 0) return nullptr;
            if (hit) return j < 2 ? PyLong_FromLong(-1) : PyLong_FromSize_t(count);
        }
        ++count;
    }
    return PyLong_FromSize_t(count);
}

PyObject* is_type(PyObject* data, char mark, PyObject* name) {
    if (class_untouched()) {
        const auto r = with_text(data, [](auto t) -> core::Result<std::uint32_t> {
            const auto at = core::frame_type_index(t);
            return {at.ok() ? static_cast<std::uint32_t>(t[at.value]) : 0u, at.failure};
        });
        if (!r.ok()) return raise_failure(r.failure, data);
        return PyBool_FromLong(r.value == static_cast<std::uint32_t>(mark));
    }
    Handle type = call_op(OZU_ID("frame_type"), data);
    if (!type) return nullptr;
    Handle expected = class_attr(name);
    if (!expected) return nullptr;
    return PyObject_RichCompare(type.get(), expected.get(), Py_EQ);
}

// The command code as the class's own interned text.
PyObject* command_name(core::Command cmd) {
    switch (cmd) {
        case core::Command::RCS: return Py_NewRef(OZU_ID("RCS"));
        case core::Command::WCS: return Py_NewRef(OZU_ID("WCS"));
        case core::Command::RCC: return Py_NewRef(OZU_ID("RCC"));
        case core::Command::WCC: return Py_NewRef(OZU_ID("WCC"));
        case core::Command::RD: return Py_NewRef(OZU_ID("RD"));
        case core::Command::WD: return Py_NewRef(OZU_ID("WD"));
        case core::Command::unknown: break;
    }
    return Py_NewRef(OZU_ID("UNKNOWN"));
}

}  // namespace

PyObject* calc_crc(BoundArgs& args) {
    auto [data, init] = args.take<2>();
    const auto check = with_text(data, [](auto t) { return core::block_check(t); });
    if (!check.ok()) return raise_failure(check.failure, data);
    if (PyLong_CheckExact(init)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(init, &overflow);
        if (!overflow) return PyLong_FromLongLong(v ^ check.value);
        Handle x = int_obj(check.value);
        return x ? PyNumber_InPlaceXor(init, x.get()) : nullptr;
    }
    // Any other init combines with each byte in turn through its own operators, as `crc ^= byte`.
    Handle bytes = py::steal(PyUnicode_AsUTF8String(data));
    if (!bytes) return nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    const Py_ssize_t size = PyBytes_GET_SIZE(bytes.get());
    Handle crc = py::borrow(init);
    for (Py_ssize_t i = 0; i < size; ++i) {
        Handle b = int_obj(p[i]);
        if (!b) return nullptr;
        crc = py::steal(PyNumber_InPlaceXor(crc.get(), b.get()));
        if (!crc) return nullptr;
    }
    return expect_int(std::move(crc)).release();
}

PyObject* crc_is_ok(BoundArgs& args) {
    auto [frame] = args.take<1>();
    if (class_untouched()) {
        const auto r = with_text(frame, [](auto t) { return core::crc_is_ok(t); });
        if (!r.ok()) return raise_failure(r.failure, frame);
        return PyBool_FromLong(r.value);
    }
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(frame));
    const core::Span field = core::slice(n, -3, -1);
    // crc_recv[0] is taken before the marker is looked up.
    if (field.empty()) return raise_index_error();
    Handle first = char_at(frame, field.start);
    if (!first) return nullptr;
    Handle ignore = class_attr(OZU_ID("IGNORE_BCC"));
    if (!ignore) return nullptr;
    Handle second;
    int skip = PyObject_RichCompareBool(first.get(), ignore.get(), Py_EQ);
    if (skip < 0) return nullptr;
    if (!skip) {
        if (field.size() < 2) return raise_index_error();
        second = char_at(frame, field.start + 1);
        if (!second) return nullptr;
        skip = PyObject_RichCompareBool(second.get(), ignore.get(), Py_EQ);
        if (skip < 0) return nullptr;
    }
    if (skip) {
        if (field.size() < 2) return raise_index_error();
        if (!second && !(second = char_at(frame, field.start + 1))) return nullptr;
        return PyObject_RichCompare(first.get(), second.get(), Py_EQ);
    }
    Handle digits = substring(frame, field);
    if (!digits) return nullptr;
    Handle received = read_int(digits.get(), 16);
    if (!received) return nullptr;
    Handle body = substring(frame, core::slice(n, 0, -3));
    if (!body) return nullptr;
    Handle computed = call_op(OZU_ID("calc_crc"), body.get());
    if (!computed) return nullptr;
    return PyObject_RichCompare(received.get(), computed.get(), Py_EQ);
}

PyObject* calc_tail(BoundArgs& args) {
    auto [data] = args.take<1>();
    return tail(data, false);
}

PyObject* append_tail(BoundArgs& args) {
    auto [data] = args.take<1>();
    return tail(data, true);
}

PyObject* find_station_end(BoundArgs& args) {
    auto [data] = args.take<1>();
    if (class_untouched()) return PyLong_FromSsize_t(with_text(data, [](auto t) { return core::station_end(t); }));
    return station_end_generic(data);
}

PyObject* command_start_position(BoundArgs& args) {
    auto [data] = args.take<1>();
    if (class_untouched()) return PyLong_FromSsize_t(with_text(data, [](auto t) { return core::command_position(t); }));
    Handle end = call_op(OZU_ID("find_station_end"), data);
    if (!end) return nullptr;
    Handle one = int_obj(1);
    if (!one) return nullptr;
    return expect_int(add(end.get(), one.get())).release();
}

PyObject* parse_command(BoundArgs& args) {
    auto [data] = args.take<1>();
    if (class_untouched()) return command_name(with_text(data, [](auto t) { return core::parse_command(t); }));
    Handle pos = call_op(OZU_ID("command_start_position"), data);
    if (!pos) return nullptr;
    Handle three = int_obj(3);
    if (!three) return nullptr;
    Handle end = add(pos.get(), three.get());
    if (!end) return nullptr;
    Handle cmd = get_slice(data, pos.get(), end.get());
    if (!cmd) return nullptr;
    for (const char* known : {"RCS", "WCS", "RCC", "WCC"})
        if (PyUnicode_CompareWithASCIIString(cmd.get(), known) == 0) return cmd.release();
    Handle two = py::steal(PyUnicode_Substring(cmd.get(), 0, 2));
    if (!two) return nullptr;
    for (const char* known : {"RD", "WD"})
        if (PyUnicode_CompareWithASCIIString(two.get(), known) == 0) return two.release();
    return expect_str(class_attr(OZU_ID("CMD_UNKNOWN"))).release();
}

PyObject* frame_type(BoundArgs& args) {
    auto [data] = args.take<1>();
    if (class_untouched()) {
        const auto at = with_text(data, [](auto t) { return core::frame_type_index(t); });
        if (!at.ok()) return raise_failure(at.failure, data);
        return char_at(data, at.value).release();
    }
    Handle end = call_op(OZU_ID("find_station_end"), data);
    if (!end) return nullptr;
    return expect_str(py::steal(PyObject_GetItem(data, end.get()))).release();
}

PyObject* is_feedback(BoundArgs& args) {
    auto [data] = args.take<1>();
    return is_type(data, core::kFeedback, OZU_ID("FEEDBACK"));
}
PyObject* is_query(BoundArgs& args) {
    auto [data] = args.take<1>();
    return is_type(data, core::kQuery, OZU_ID("QUERY"));
}
PyObject* is_error(BoundArgs& args) {
    auto [data] = args.take<1>();
    return is_type(data, core::kError, OZU_ID("ERROR"));
}

PyObject* header_matched(BoundArgs& args) {
    auto [tx, rx] = args.take<2>();
    if (class_untouched()) {
        const auto r = with_text(tx, [rx = rx](auto t) {
            return with_text(rx, [t](auto r) { return core::header_matched(t, r); });
        });
        if (!r.ok()) return raise_failure(r.failure, rx);
        return PyBool_FromLong(r.value);
    }
    Handle edge = call_op(OZU_ID("find_station_end"), rx);
    if (!edge) return nullptr;
    Handle head_tx = get_slice(tx, Py_None, edge.get());
    Handle head_rx = head_tx ? get_slice(rx, Py_None, edge.get()) : Handle{};
    if (!head_rx) return nullptr;
    int same = PyObject_RichCompareBool(head_tx.get(), head_rx.get(), Py_EQ);
    if (same <= 0) return same < 0 ? nullptr : Py_NewRef(Py_False);
    Handle type = py::steal(PyObject_GetItem(rx, edge.get()));
    if (!type) return nullptr;
    Handle feedback = class_attr(OZU_ID("FEEDBACK"));
    if (!feedback) return nullptr;
    same = PyObject_RichCompareBool(type.get(), feedback.get(), Py_EQ);
    if (same <= 0) return same < 0 ? nullptr : Py_NewRef(Py_False);
    Handle one = int_obj(1);
    Handle three = int_obj(3);
    if (!one || !three) return nullptr;
    Handle from = add(edge.get(), one.get());
    Handle to = from ? add(edge.get(), three.get()) : Handle{};
    if (!to) return nullptr;
    Handle cmd_tx = get_slice(tx, from.get(), to.get());
    Handle cmd_rx = cmd_tx ? get_slice(rx, from.get(), to.get()) : Handle{};
    if (!cmd_rx) return nullptr;
    return PyObject_RichCompare(cmd_tx.get(), cmd_rx.get(), Py_EQ);
}

PyObject* parse_station(BoundArgs& args) {
    auto [data] = args.take<1>();
    if (class_untouched()) return station_value(data, with_text(data, [](auto t) { return core::parse_station(t); }));
    Handle end = call_op(OZU_ID("find_station_end"), data);
    if (!end) return nullptr;
    Handle one = int_obj(1);
    if (!one) return nullptr;
    Handle field = get_slice(data, one.get(), end.get());
    if (!field) return nullptr;
    return read_int(field.get(), 16).release();
}

}  // namespace ozu::mew::codec
