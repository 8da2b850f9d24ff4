#include "codec/codec_support.hpp"

#include <cstring>
#include <utility>
#include <vector>

namespace ozu::mew::codec {
namespace {

const char* arg_name(core::Arg arg) {
    switch (arg) {
        case core::Arg::data: return "data";
        case core::Arg::frame: return "frame";
        case core::Arg::tx: return "tx";
        case core::Arg::rx: return "rx";
        case core::Arg::address: return "address";
        case core::Arg::station: return "station";
        case core::Arg::cmd: return "cmd";
        case core::Arg::value: return "value";
        case core::Arg::values: return "values";
        case core::Arg::contact: return "contact";
        case core::Arg::contact_start: return "contact_start";
        case core::Arg::contact_end: return "contact_end";
        case core::Arg::word_count: return "word_count";
        case core::Arg::reg_start: return "reg_start";
        case core::Arg::reg: return "reg";
        case core::Arg::reg_count: return "reg_count";
    }
    return "?";
}

template <class Unit>
void write_ascii(void* dst, std::string_view text) {
    auto* out = static_cast<Unit*>(dst);
    for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
}

// What the class held when it was built, to re-validate the fast path after the class was
// modified and put back (as a test's monkeypatch does).
struct ClassRecord {
    Handle cls;
    PyObject* module_dict = nullptr;
    py::ClassGuard guard;
    std::vector<std::pair<Handle, Handle>> members;
    unsigned int dirty_tag = 0;  // version tag seen with members replaced
    Handle pack, unpack;
    // Set when the class was last found as built, cleared by any assignment to the module's
    // MewStatic: while set and the class keeps armed_tag, the name need not be looked up again.
    bool name_kept = false;
    unsigned int armed_tag = 0;
};

ClassRecord& record() {
    static ClassRecord* r = new ClassRecord();  // lives as long as the process, like the module
    return *r;
}

unsigned int current_tag(PyTypeObject* type) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

#if PY_VERSION_HEX >= 0x030C0000
int g_dict_watcher = -1;

// Called before each change of the module's namespace; never fails.
int on_namespace_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
    ClassRecord& r = record();
    if (dict != r.module_dict) return 0;
    const bool names_entry = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED;
    // Only an exact str can be told apart from the name without running Python code.
    if (names_entry && PyUnicode_CheckExact(key) && key != OZU_ID("MewStatic") &&
        PyUnicode_Compare(key, OZU_ID("MewStatic")) != 0)
        return 0;
    r.name_kept = false;
    return 0;
}

bool watch_namespace(PyObject* module_dict) {
    if (g_dict_watcher < 0) g_dict_watcher = PyDict_AddWatcher(on_namespace_change);
    if (g_dict_watcher < 0 || PyDict_Watch(g_dict_watcher, module_dict) < 0) {
        PyErr_Clear();  // without a watcher every call looks the name up
        return false;
    }
    return true;
}
#else
bool watch_namespace(PyObject*) { return false; }
#endif

bool g_watching = false;

bool rearm() {
    ClassRecord& r = record();
    if (!r.cls) return false;
    PyObject* current = PyDict_GetItemWithError(r.module_dict, OZU_ID("MewStatic"));
    if (!current) PyErr_Clear();
    if (current != r.cls.get()) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(r.cls.get());
    const unsigned int tag = current_tag(type);
    if (tag != 0 && tag == r.dirty_tag) return false;
    for (const auto& [name, value] : r.members) {
        PyObject* now = PyDict_GetItemWithError(type->tp_dict, name.get());
        if (now != value.get()) {
            if (!now) PyErr_Clear();
            // Remember this state of the class so that the next calls skip the comparison.
            Handle probe = py::steal(PyObject_GetAttr(r.cls.get(), OZU_ID("__doc__")));
            if (!probe) PyErr_Clear();
            r.dirty_tag = current_tag(type);
            return false;
        }
    }
    r.guard.record(r.module_dict, OZU_ID("MewStatic"), r.cls.get());
    return r.guard.untouched();
}

}  // namespace

Handle join(std::initializer_list<Piece> pieces) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 127;
    for (const Piece& p : pieces) {
        if (p.str) {
            length += PyUnicode_GET_LENGTH(p.str);
            const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(p.str);
            if (m > maxchar) maxchar = m;
        } else {
            length += static_cast<Py_ssize_t>(p.ascii.size());
        }
    }
    Handle out = py::steal(PyUnicode_New(length, maxchar));
    if (!out) return {};
    const auto kind = static_cast<int>(PyUnicode_KIND(out.get()));
    char* dst = static_cast<char*>(PyUnicode_DATA(out.get()));
    Py_ssize_t at = 0;
    for (const Piece& p : pieces) {
        if (p.str) {
            const Py_ssize_t n = PyUnicode_GET_LENGTH(p.str);
            if (static_cast<int>(PyUnicode_KIND(p.str)) == kind) {
                if (n) std::memcpy(dst + at * kind, PyUnicode_DATA(p.str), static_cast<std::size_t>(n * kind));
            } else if (PyUnicode_CopyCharacters(out.get(), at, p.str, 0, n) < 0) {
                return {};
            }
            at += n;
        } else {
            void* where = dst + at * kind;
            switch (kind) {
                case 1:
                    if (!p.ascii.empty()) std::memcpy(where, p.ascii.data(), p.ascii.size());
                    break;
                case 2: write_ascii<std::uint16_t>(where, p.ascii); break;
                default: write_ascii<std::uint32_t>(where, p.ascii); break;
            }
            at += static_cast<Py_ssize_t>(p.ascii.size());
        }
    }
    return out;
}

Handle ascii_around(std::string_view head, PyObject* s, std::string_view tail) {
    if (PyUnicode_KIND(s) != PyUnicode_1BYTE_KIND) return join({head, s, tail});
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    // 127 for ASCII text, 255 otherwise: what join() finds for these pieces.
    Handle out = py::steal(
        PyUnicode_New(static_cast<Py_ssize_t>(head.size() + n + tail.size()), PyUnicode_MAX_CHAR_VALUE(s)));
    if (!out) return {};
    char* dst = static_cast<char*>(PyUnicode_DATA(out.get()));
    if (!head.empty()) std::memcpy(dst, head.data(), head.size());
    if (n) std::memcpy(dst + head.size(), PyUnicode_DATA(s), n);
    if (!tail.empty()) std::memcpy(dst + head.size() + n, tail.data(), tail.size());
    return out;
}

Handle substring(PyObject* s, core::Span span) {
    return py::steal(PyUnicode_Substring(s, static_cast<Py_ssize_t>(span.start), static_cast<Py_ssize_t>(span.stop)));
}

Handle ascii_str(std::string_view text) {
    Handle out = py::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    if (out && !text.empty()) std::memcpy(PyUnicode_DATA(out.get()), text.data(), text.size());
    return out;
}

Handle char_at(PyObject* s, std::size_t i) { return substring(s, {i, i + 1}); }

Handle int_obj(long long v) { return py::steal(PyLong_FromLongLong(v)); }

PyObject* raise_index_error() {
    PyErr_SetString(PyExc_IndexError, "string index out of range");
    return nullptr;
}

PyObject* raise_failure(const core::Failure& f, PyObject* text, PyObject* number) {
    using core::Error;
    const char* name = arg_name(f.arg);
    Handle num = number ? py::borrow(number) : int_obj(f.number);
    if (!num) return nullptr;
    switch (f.error) {
        case Error::none:
        case Error::too_large:
            PyErr_SetString(PyExc_SystemError, "codec: unexpected failure kind");
            return nullptr;
        case Error::index_out_of_range: return raise_index_error();
        case Error::invalid_literal: {
            Handle piece = substring(text, f.span);
            if (!piece) return nullptr;
            PyErr_Format(PyExc_ValueError, "invalid literal for int() with base %d: %.200R", f.base, piece.get());
            return nullptr;
        }
        case Error::assertion_failed: return py::raise_assertion();
        case Error::encode_failed: {
            // Let the host's encoder raise its own error for the same text.
            Handle piece = substring(text, f.span);
            if (!piece) return nullptr;
            Handle encoded = py::steal(PyUnicode_AsUTF8String(piece.get()));
            if (!encoded) return nullptr;
            PyErr_SetString(PyExc_SystemError, "codec: text expected to fail encoding");
            return nullptr;
        }
        case Error::bad_name:
            PyErr_Format(PyExc_ValueError,
                         "%s: name must not hold control, non-ASCII or frame characters "
                         "('%%', '#', '$', '!', '*'): %R",
                         name, text);
            return nullptr;
        case Error::field_too_wide:
            if (f.arg == core::Arg::contact)
                PyErr_Format(PyExc_ValueError, "contact: address must not be longer than four characters: %R", text);
            else if (f.arg == core::Arg::contact_start || f.arg == core::Arg::contact_end)
                PyErr_Format(PyExc_ValueError, "%s: word number must not be longer than four digits: %R", name, text);
            else
                PyErr_Format(PyExc_ValueError, "%s: last word number %S out of range for a four-digit field (0..9999)",
                             name, num.get());
            return nullptr;
        case Error::register_out_of_range:
            PyErr_Format(PyExc_ValueError, "%s: %s number %S out of range for a five-digit field (0..99999)", name,
                         (f.arg == core::Arg::reg_start || f.arg == core::Arg::reg) ? "register" : "last register",
                         num.get());
            return nullptr;
        case Error::value_out_of_range:
            PyErr_Format(PyExc_ValueError, "value %S out of range for a %d-bit field (0..%s)", num.get(), f.base,
                         f.base == 16 ? "65535" : "4294967295");
            return nullptr;
        case Error::negative_station:
            PyErr_Format(PyExc_ValueError, "station must not be negative: %S", num.get());
            return nullptr;
        case Error::none_not_subscriptable:
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
            return nullptr;
    }
    return nullptr;
}

Handle read_int(PyObject* piece, int base) {
    const core::Number n = with_text(piece, [base](auto t) { return core::read_number(t, base); });
    switch (n.status) {
        case core::NumberStatus::ok: return py::steal(PyLong_FromUnsignedLongLong(n.value));
        case core::NumberStatus::too_large: return py::steal(PyLong_FromUnicodeObject(piece, base));
        case core::NumberStatus::invalid: break;
    }
    PyErr_Format(PyExc_ValueError, "invalid literal for int() with base %d: %.200R", base, piece);
    return {};
}

Handle expect_int(Handle result) {
    if (!result || PyLong_CheckExact(result.get()) || result.get() == Py_None) return result;
    py::raise_expected("int", result.get());
    return {};
}

Handle expect_str(Handle result) {
    if (!result || PyUnicode_CheckExact(result.get()) || result.get() == Py_None) return result;
    py::raise_expected("str", result.get());
    return {};
}

bool record_class(PyObject* module_dict, PyObject* cls) {
    ClassRecord& r = record();
    r.cls = py::borrow(cls);
    r.module_dict = module_dict;
    r.members.clear();
    PyObject* dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) r.members.emplace_back(py::borrow(key), py::borrow(value));
    PyObject* pack = PyDict_GetItemWithError(module_dict, OZU_ID("pack"));
    PyObject* unpack = pack ? PyDict_GetItemWithError(module_dict, OZU_ID("unpack")) : nullptr;
    if (!pack || !unpack) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "ozu_mew: pack and unpack must be bound before MewStatic");
        return false;
    }
    r.pack = py::borrow(pack);
    r.unpack = py::borrow(unpack);
    r.guard.record(module_dict, OZU_ID("MewStatic"), cls);
    r.name_kept = false;
    g_watching = watch_namespace(module_dict);
    return true;
}

bool class_untouched() {
    ClassRecord& r = record();
    if (r.name_kept && r.armed_tag != 0 && current_tag(reinterpret_cast<PyTypeObject*>(r.cls.get())) == r.armed_tag)
        return true;
    if (!r.guard.untouched() && !rearm()) return false;
    r.armed_tag = current_tag(reinterpret_cast<PyTypeObject*>(r.cls.get()));
    r.name_kept = g_watching;
    return true;
}

bool struct_untouched() {
    ClassRecord& r = record();
    PyObject* pack = PyDict_GetItemWithError(r.module_dict, OZU_ID("pack"));
    PyObject* unpack = PyDict_GetItemWithError(r.module_dict, OZU_ID("unpack"));
    if (PyErr_Occurred()) PyErr_Clear();
    return pack == r.pack.get() && unpack == r.unpack.get();
}

Handle class_attr(PyObject* name) {
    PyObject* cls = py::global(OZU_ID("MewStatic"));
    if (!cls) return {};
    return py::steal(PyObject_GetAttr(cls, name));
}

Handle repack(PyObject* value, const char* pack_format, const char* unpack_format) {
    Handle pf = py::steal(PyUnicode_FromString(pack_format));
    Handle uf = py::steal(PyUnicode_FromString(unpack_format));
    if (!pf || !uf) return {};
    PyObject* pack_args[] = {pf.get(), value};
    Handle packed = py::call_global(OZU_ID("pack"), pack_args, 2);
    if (!packed) return {};
    PyObject* unpack_args[] = {uf.get(), packed.get()};
    Handle unpacked = py::call_global(OZU_ID("unpack"), unpack_args, 2);
    if (!unpacked) return {};
    Handle zero = int_obj(0);
    if (!zero) return {};
    return py::steal(PyObject_GetItem(unpacked.get(), zero.get()));
}

}  // namespace ozu::mew::codec
