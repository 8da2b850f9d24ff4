// Conversions between the host's strings and the codec core, the codec's exceptions, and the
// calls "through the class" that MewStatic's operations make on one another.
#pragma once
#include "ozu/codec/text.hpp"
#include "runtime/class_builder.hpp"
#include "runtime/function.hpp"
#include "runtime/module_globals.hpp"

#include <initializer_list>
#include <string_view>

namespace ozu::mew::codec {

using py::Handle;
namespace core = ozu::codec;

// Calls f with the core view of an exact str (its own code units, no copy).
template <class F>
decltype(auto) with_text(PyObject* s, F&& f) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const void* data = PyUnicode_DATA(s);
    const auto size = static_cast<std::size_t>(n);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return f(core::Text8(static_cast<const std::uint8_t*>(data), size));
        case PyUnicode_2BYTE_KIND: return f(core::Text16(static_cast<const std::uint16_t*>(data), size));
        default: return f(core::Text32(static_cast<const std::uint32_t*>(data), size));
    }
}

inline core::AnyText any_text(PyObject* s) {
    return with_text(s, [](auto t) { return core::AnyText(t); });
}

// One piece of a string being joined: a str object or ASCII text.
struct Piece {
    PyObject* str = nullptr;
    std::string_view ascii{};

    Piece(PyObject* s) : str(s) {}                  // NOLINT: implicit on purpose
    Piece(std::string_view a) : ascii(a) {}         // NOLINT
    Piece(const char* a) : ascii(a) {}              // NOLINT
};

// The concatenation of the pieces as a new canonical str.
Handle join(std::initializer_list<Piece> pieces);
// join({head, s, tail}) for ASCII head and tail, quicker for the usual one-byte s.
Handle ascii_around(std::string_view head, PyObject* s, std::string_view tail);
// s[span] as a new str.
Handle substring(PyObject* s, core::Span span);
// A str of ASCII text.
Handle ascii_str(std::string_view text);
// The one-character str of s[i].
Handle char_at(PyObject* s, std::size_t i);

// Raises the exception a core failure stands for. `text` is the argument the failure's span lies
// in (may be null when the failure has no span); `number` replaces failure.number in messages
// when the number is a host integer. Returns null. A too_large failure must not get here.
PyObject* raise_failure(const core::Failure& failure, PyObject* text, PyObject* number = nullptr);

// IndexError("string index out of range"); returns null.
PyObject* raise_index_error();

// int(piece, base) read strictly: ASCII digits of the base only, non-empty; large numbers and the
// host's limit on decimal digits as int() has them.
Handle read_int(PyObject* piece, int base);

// result unchanged if it is an exact int (or None), else TypeError "Expected int, got ...".
Handle expect_int(Handle result);
Handle expect_str(Handle result);

// ----------------------------------------------------------------------------- the class

// Records the class and what it holds, to tell later whether calls through it may be replaced by
// direct calls into the core.
bool record_class(PyObject* module_dict, PyObject* cls);

// True while the module's MewStatic is the class built at import, holding the operations and
// constants it was built with: operations may then call each other directly.
bool class_untouched();

// True while the module's `pack` and `unpack` are still those bound at import.
bool struct_untouched();

// MewStatic.<name>, through the module global at the time of the call.
Handle class_attr(PyObject* name);

// MewStatic.<name>(args...).
template <class... Args>
Handle call_op(PyObject* name, Args... args) {
    Handle fn = class_attr(name);
    if (!fn) return {};
    PyObject* argv[] = {nullptr, args...};
    return py::steal(PyObject_Vectorcall(fn.get(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// pack(fmt, value) and unpack(fmt, bytes)[0] through the module globals: reinterprets value.
Handle repack(PyObject* value, const char* pack_format, const char* unpack_format);

// A new int object.
Handle int_obj(long long v);

}  // namespace ozu::mew::codec
