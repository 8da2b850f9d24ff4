#include "master/errors.hpp"

#include "runtime/class_builder.hpp"

#include <string>
#include <utility>

namespace ozu::mew::master {
namespace {

using namespace ozu::py;

PyObject* g_error = nullptr;
PyObject* g_timeout = nullptr;
PyObject* g_answer = nullptr;
PyObject* g_answer_value = nullptr;
PyObject* g_answer_index = nullptr;
PyObject* g_station = nullptr;
PyObject* g_link = nullptr;

struct ClassSpec {
    PyObject** slot;
    const char* name;  // without the module
    const char* doc;
    PyObject* const* bases[2];  // the family's own base first, null when unused
    PyObject* builtin;          // a built-in base after it, or null
};

// Makes ozu_mew.<name> with the given bases.
bool make_class(PyObject* module_dict, const ClassSpec& spec) {
    Handle bases = steal(PyTuple_New(0));
    if (!bases) return false;
    for (PyObject* const* base : spec.bases) {
        if (!base) continue;
        Handle one = steal(PyTuple_Pack(1, *base));
        if (!one) return false;
        bases = steal(PySequence_Concat(bases.get(), one.get()));
        if (!bases) return false;
    }
    if (spec.builtin) {
        Handle one = steal(PyTuple_Pack(1, spec.builtin));
        if (!one) return false;
        bases = steal(PySequence_Concat(bases.get(), one.get()));
        if (!bases) return false;
    }
    std::string dotted = std::string("ozu_mew.") + spec.name;
    PyObject* cls = PyErr_NewExceptionWithDoc(dotted.c_str(), spec.doc, bases.get(), nullptr);
    if (!cls) return false;
    *spec.slot = cls;  // kept for the life of the process
    return PyDict_SetItemString(module_dict, spec.name, cls) == 0;
}

PyObject* raise_with(PyObject* cls, Handle message, PyObject* cause = nullptr) {
    if (!message) return nullptr;
    Handle error = steal(PyObject_CallOneArg(cls, message.get()));
    if (!error) return nullptr;
    if (cause) PyException_SetCause(error.get(), borrow(cause).release());
    PyErr_SetObject(cls, error.get());
    return nullptr;
}

}  // namespace

bool add_error_classes(PyObject* module_dict) {
    const ClassSpec specs[] = {
        {&g_error, "MewError", "A failure of a query on the line; an OSError.", {nullptr, nullptr}, PyExc_OSError},
        {&g_timeout, "MewTimeoutError", "No answer arrived within query_timeout.", {&g_error, nullptr},
         PyExc_TimeoutError},
        {&g_answer, "MewAnswerError", "The answer is malformed, or it is not the answer to this request.",
         {&g_error, nullptr}, nullptr},
        {&g_answer_value, "MewAnswerValueError", "A field of the answer does not parse.", {&g_answer, nullptr},
         PyExc_ValueError},
        {&g_answer_index, "MewAnswerIndexError", "The answer is too short to parse.", {&g_answer, nullptr},
         PyExc_IndexError},
        {&g_station, "MewStationError",
         "The station answered with an error code: `code` (int, or None when not hexadecimal), `station` and "
         "`command` (the request's command letters).",
         {&g_error, nullptr}, nullptr},
        {&g_link, "MewLinkError", "The link was closed while the query waited, or its channel failed.",
         {&g_error, nullptr}, PyExc_ConnectionError},
    };
    for (const ClassSpec& spec : specs)
        if (!make_class(module_dict, spec)) return false;
    return true;
}

PyObject* raise_timeout(Handle message) { return raise_with(g_timeout, std::move(message)); }
PyObject* raise_answer_error(Handle message) { return raise_with(g_answer, std::move(message)); }
PyObject* raise_link_error(Handle message, PyObject* cause) { return raise_with(g_link, std::move(message), cause); }

PyObject* raise_station_error(Handle message, PyObject* code, PyObject* station, PyObject* command) {
    if (!message) return nullptr;
    Handle error = steal(PyObject_CallOneArg(g_station, message.get()));
    if (!error) return nullptr;
    if (PyObject_SetAttr(error.get(), OZU_ID("code"), code) < 0 ||
        PyObject_SetAttr(error.get(), OZU_ID("station"), station) < 0 ||
        PyObject_SetAttr(error.get(), OZU_ID("command"), command) < 0)
        return nullptr;
    PyErr_SetObject(g_station, error.get());
    return nullptr;
}

PyObject* retype_parse_error() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* cls = type == PyExc_ValueError ? g_answer_value : type == PyExc_IndexError ? g_answer_index : nullptr;
    if (!cls) {
        PyErr_Restore(type, value, tb);
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Handle type_h = steal(type), original = steal(value), tb_h = steal(tb);
    if (!original) return nullptr;
    Handle message = steal(PyObject_Str(original.get()));
    return raise_with(cls, std::move(message), original.get());
}

}  // namespace ozu::mew::master
