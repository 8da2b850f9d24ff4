#include "master/errors.hpp"

#include "runtime/class_builder.hpp"
#include "runtime/error_scope.hpp"

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

struct ErrorClass {
    PyObject** slot;
    const char* name;  // without the module
    const char* doc;
    PyObject* const* bases[2];  // the family's own base first, null when unused
    PyObject* builtin;          // a built-in base after it, or null
};

// Makes ozu_mew.<name> with the given bases.
bool make_class(PyObject* module_dict, const ErrorClass& error_class) {
    Handle bases = steal(PyTuple_New(0));
    if (!bases) return false;
    for (PyObject* const* base : error_class.bases) {
        if (!base) continue;
        Handle one = steal(PyTuple_Pack(1, *base));
        if (!one) return false;
        bases = steal(PySequence_Concat(bases.get(), one.get()));
        if (!bases) return false;
    }
    if (error_class.builtin) {
        Handle one = steal(PyTuple_Pack(1, error_class.builtin));
        if (!one) return false;
        bases = steal(PySequence_Concat(bases.get(), one.get()));
        if (!bases) return false;
    }
    std::string dotted = std::string("ozu_mew.") + error_class.name;
    PyObject* cls = PyErr_NewExceptionWithDoc(dotted.c_str(), error_class.doc, bases.get(), nullptr);
    if (!cls) return false;
    *error_class.slot = cls;  // kept for the life of the process
    return PyDict_SetItemString(module_dict, error_class.name, cls) == 0;
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
    const ErrorClass classes[] = {
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
    for (const ErrorClass& error_class : classes)
        if (!make_class(module_dict, error_class)) return false;
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
    ErrorScope parsed;
    PyObject* cls = parsed.type() == PyExc_ValueError   ? g_answer_value
                    : parsed.type() == PyExc_IndexError ? g_answer_index
                                                        : nullptr;
    if (!cls) {
        parsed.restore();
        return nullptr;
    }
    Handle original = parsed.take();
    if (!original) return nullptr;
    Handle message = steal(PyObject_Str(original.get()));
    return raise_with(cls, std::move(message), original.get());
}

}  // namespace ozu::mew::master
