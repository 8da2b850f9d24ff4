#include "runtime/function.hpp"

#include <cstddef>
#include <cstring>

namespace ozu::py {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDecl* decl;
    int nparams;
    int nrequired;
    bool collects_nothing;  // no *args or **kwargs: a call with every parameter by position binds directly
    Check checks[kMaxParams];  // the declared types, kept with the object for the direct binding
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* param_names[kMaxParams];
    PyObject* defaults[kMaxParams];
};

bool g_assertions = true;

PyObject* raise_arity(const char* name, bool exact, Py_ssize_t nmin, Py_ssize_t nmax, Py_ssize_t found) {
    Py_ssize_t expected;
    const char* more_or_less;
    if (found < nmin) {
        expected = nmin;
        more_or_less = "at least";
    } else {
        expected = nmax;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
                 more_or_less, expected, expected == 1 ? "" : "s", found);
    return nullptr;
}

int find_param(const FunctionObject* f, PyObject* key) {
    for (int i = 0; i < f->nparams; ++i)
        if (f->param_names[i] == key) return i;
    for (int i = 0; i < f->nparams; ++i) {
        int eq = PyUnicode_Compare(f->param_names[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

PyObject* find_keyword(PyObject* name, PyObject* kwnames, PyObject* const* kwvalues, Py_ssize_t nkw) {
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Compare(key, name) == 0) return kwvalues[k];
        if (PyErr_Occurred()) PyErr_Clear();
    }
    return nullptr;
}

bool check_type(const Param& p, PyObject* value, PyObject* dflt) {
    switch (p.check) {
        case Check::Any: return true;
        case Check::Str:
            if (PyUnicode_CheckExact(value)) return true;
            break;
        case Check::Int:
            if (PyLong_CheckExact(value)) return true;
            break;
        case Check::List:
            if (PyList_CheckExact(value)) return true;
            break;
    }
    if (value == Py_None && dflt == Py_None) return true;
    static const char* const names[] = {"object", "str", "int", "list"};
    raise_arg_type(p.name, names[static_cast<int>(p.check)], value);
    return false;
}

// The common outcome of check_type, decided inline: the value is exactly of the declared type.
inline bool exactly_declared(Check check, PyObject* value) {
    switch (check) {
        case Check::Any: return true;
        case Check::Str: return PyUnicode_CheckExact(value);
        case Check::Int: return PyLong_CheckExact(value);
        case Check::List: return PyList_CheckExact(value);
    }
    return false;
}

// Binds one call's arguments to the parameters of f, in the order of the module's errors:
// too many positional arguments, the first missing required one, duplicate and unknown keywords
// in the order given, then the declared types in parameter order.
bool bind(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out) {
    const FunctionDecl& decl = *f->decl;
    const int n = f->nparams;
    const int nreq = f->nrequired;
    const bool exact = !decl.star_args && nreq == n;
    if (nargs > n && !decl.star_args) {
        raise_arity(decl.name, exact, nreq, n, nargs);
        return false;
    }
    const Py_ssize_t npos = nargs < n ? nargs : n;
    for (Py_ssize_t i = 0; i < npos; ++i) out.values[static_cast<std::size_t>(i)] = args[i];
    if (decl.star_args) {
        out.star_args = steal(nargs > n ? PyTuple_New(nargs - n) : PyTuple_New(0));
        if (!out.star_args) return false;
        for (Py_ssize_t i = n; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(out.star_args.get(), i - n, args[i]);
        }
    }
    if (decl.star_kwargs) {
        out.kwargs = steal(PyDict_New());
        if (!out.kwargs) return false;
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < nreq) {
            raise_arity(decl.name, exact, nreq, n, nargs);
            return false;
        }
        for (int i = static_cast<int>(npos); i < n; ++i) out.values[static_cast<std::size_t>(i)] = f->defaults[i];
    } else {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t remaining = nkw;
        for (int i = static_cast<int>(npos); i < n; ++i) {
            PyObject* v = find_keyword(f->param_names[i], kwnames, kwvalues, nkw);
            if (v) {
                out.values[static_cast<std::size_t>(i)] = v;
                --remaining;
            } else if (i < nreq) {
                raise_arity(decl.name, exact, nreq, n, i);
                return false;
            } else {
                out.values[static_cast<std::size_t>(i)] = f->defaults[i];
            }
        }
        if (remaining > 0) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                int idx = find_param(f, key);
                if (idx >= npos) continue;
                if (idx >= 0) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", decl.name, key);
                    return false;
                }
                if (!decl.star_kwargs) {
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", decl.name, key);
                    return false;
                }
                if (PyDict_SetItem(out.kwargs.get(), key, kwvalues[k]) < 0) return false;
            }
        }
    }
    for (int i = 0; i < n; ++i)
        if (!check_type(decl.params[i], out.values[static_cast<std::size_t>(i)], f->defaults[i])) return false;
    return true;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    BoundArgs bound;
    bound.function = self;
    if (f->collects_nothing && nargs == f->nparams && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) {
        // Every parameter given by position and nothing to collect: bind() would find no arity or
        // keyword error and come down to the type checks, in the same order.
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            if (!exactly_declared(f->checks[i], args[i]) && !check_type(f->decl->params[i], args[i], f->defaults[i]))
                return nullptr;
            bound.values[static_cast<std::size_t>(i)] = args[i];
        }
        return f->decl->impl(bound);
    }
    if (!bind(f, args, nargs, kwnames, bound)) return nullptr;
    return f->decl->impl(bound);
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->module);
    for (int i = 0; i < kMaxParams; ++i) {
        Py_XDECREF(f->param_names[i]);
        Py_XDECREF(f->defaults[i]);
    }
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* get_abstract(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->decl->abstract ? Py_True : Py_False);
}

PyObject* get_text(PyObject* self, void* which) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject* v = which == nullptr ? f->name : which == reinterpret_cast<void*>(1) ? f->qualname
                 : which == reinterpret_cast<void*>(2) ? f->doc : f->module;
    return Py_NewRef(v);
}

// The parameter list as inspect reads it from built-in callables, "(data, init=0)", made from the
// names and default objects the function already holds.
PyObject* get_text_signature(PyObject* self, void*) {
    const auto* f = reinterpret_cast<FunctionObject*>(self);
    Handle pieces = steal(PyList_New(0));
    if (!pieces) return nullptr;
    auto add = [&pieces](Handle piece) { return piece && PyList_Append(pieces.get(), piece.get()) == 0; };
    for (int i = 0; i < f->nparams; ++i) {
        Handle piece = f->defaults[i] ? steal(PyUnicode_FromFormat("%U=%R", f->param_names[i], f->defaults[i]))
                                      : borrow(f->param_names[i]);
        if (!add(std::move(piece))) return nullptr;
    }
    if (f->decl->star_args && !add(steal(PyUnicode_FromString("*args")))) return nullptr;
    if (f->decl->star_kwargs && !add(steal(PyUnicode_FromString("**kwargs")))) return nullptr;
    Handle separator = steal(PyUnicode_FromString(", "));
    Handle joined = separator ? steal(PyUnicode_Join(separator.get(), pieces.get())) : Handle();
    return joined ? PyUnicode_FromFormat("(%U)", joined.get()) : nullptr;
}

// Pickled, copied and deep-copied by reference, as the module's Python functions are.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__isabstractmethod__", get_abstract, nullptr, nullptr, nullptr},
    {"__name__", get_text, nullptr, nullptr, nullptr},
    {"__qualname__", get_text, nullptr, nullptr, reinterpret_cast<void*>(1)},
    {"__doc__", get_text, nullptr, nullptr, reinterpret_cast<void*>(2)},
    {"__module__", get_text, nullptr, nullptr, reinterpret_cast<void*>(3)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace

bool init_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return true;
    FunctionType.tp_name = "ozu_function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_methods = function_methods;
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (flags) {
        Handle optimize = steal(PyObject_GetAttrString(flags, "optimize"));
        if (optimize) g_assertions = PyLong_AsLong(optimize.get()) == 0;
        PyErr_Clear();
    }
    return PyType_Ready(&FunctionType) == 0;
}

PyTypeObject* function_type() { return &FunctionType; }

bool is_function_of(PyObject* obj, const FunctionDecl& decl) noexcept {
    return Py_IS_TYPE(obj, &FunctionType) && reinterpret_cast<FunctionObject*>(obj)->decl == &decl;
}

namespace {
const DocEntry* g_docs = nullptr;
}  // namespace

void use_docs(const DocEntry* entries) noexcept { g_docs = entries; }

const char* find_doc(const char* qualname) noexcept {
    for (const DocEntry* e = g_docs; e && e->qualname; ++e)
        if (std::strcmp(e->qualname, qualname) == 0) return e->text;
    return nullptr;
}

Handle make_function(const FunctionDecl& decl, const char* qualname, const char* module) {
    if (!init_function_type()) return {};
    auto* f = PyObject_New(FunctionObject, &FunctionType);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->decl = &decl;
    f->nparams = 0;
    f->nrequired = 0;
    f->collects_nothing = !decl.star_args && !decl.star_kwargs;
    f->name = f->qualname = f->doc = f->module = nullptr;
    for (int i = 0; i < kMaxParams; ++i) {
        f->param_names[i] = f->defaults[i] = nullptr;
        f->checks[i] = Check::Any;
    }
    Handle owner = steal(reinterpret_cast<PyObject*>(f));
    f->name = PyUnicode_InternFromString(decl.name);
    f->qualname = PyUnicode_FromString(qualname);
    f->module = PyUnicode_InternFromString(module);
    const char* doc = decl.doc ? decl.doc : find_doc(qualname);
    f->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
    if (!f->name || !f->qualname || !f->module || !f->doc) return {};
    int n = 0;
    while (n < kMaxParams && decl.params[n].name) {
        const Param& p = decl.params[n];
        f->checks[n] = p.check;
        f->param_names[n] = PyUnicode_InternFromString(p.name);
        if (!f->param_names[n]) return {};
        switch (p.dflt.kind) {
            case Default::Kind::Required:
                if (n != f->nrequired) {
                    PyErr_Format(PyExc_SystemError, "%s: required parameter after a default", decl.name);
                    return {};
                }
                ++f->nrequired;
                break;
            case Default::Kind::None: f->defaults[n] = Py_NewRef(Py_None); break;
            case Default::Kind::True: f->defaults[n] = Py_NewRef(Py_True); break;
            case Default::Kind::False: f->defaults[n] = Py_NewRef(Py_False); break;
            case Default::Kind::Int:
                f->defaults[n] = PyLong_FromLong(p.dflt.value);
                if (!f->defaults[n]) return {};
                break;
        }
        ++n;
    }
    f->nparams = n;
    return owner;
}

Handle make_staticmethod(const FunctionDecl& decl, const char* qualname, const char* module) {
    Handle fn = make_function(decl, qualname, module);
    if (!fn) return {};
    return steal(PyStaticMethod_New(fn.get()));
}

Handle make_property(const FunctionDecl& decl, const char* qualname, const char* module) {
    Handle fn = make_function(decl, qualname, module);
    if (!fn) return {};
    return steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), fn.get()));
}

const char* type_name(PyObject* obj) noexcept {
    // type(obj).__name__: the part of tp_name after the last dot for static types.
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        const char* name = PyUnicode_AsUTF8(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name);
        if (name) return name;
        PyErr_Clear();
    }
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

PyObject* raise_expected(const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, type_name(got));
    return nullptr;
}

PyObject* raise_arg_type(const char* param, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, type_name(got));
    return nullptr;
}

bool assertions_enabled() noexcept { return g_assertions; }

PyObject* raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    return nullptr;
}

}  // namespace ozu::py
