#include "runtime/class_builder.hpp"

namespace ozu::py {

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

ClassBuilder::ClassBuilder(const char* name, const char* module)
    : name_(name), module_(module), ns_(steal(PyDict_New())) {
    if (!ns_) {
        failed_ = true;
        return;
    }
    Handle mod = steal(PyUnicode_FromString(module));
    Handle qual = steal(PyUnicode_FromString(name));
    failed_ = !mod || !qual || PyDict_SetItemString(ns_.get(), "__module__", mod.get()) < 0 ||
              PyDict_SetItemString(ns_.get(), "__qualname__", qual.get()) < 0;
}

std::string ClassBuilder::qualname(const char* member) const { return name_ + "." + member; }

ClassBuilder& ClassBuilder::base(PyObject* b) {
    bases_.push_back(b);
    return *this;
}

ClassBuilder& ClassBuilder::doc(const char* text) {
    return attr("__doc__", steal(PyUnicode_FromString(text)));
}

ClassBuilder& ClassBuilder::attr(const char* name, Handle value) {
    if (failed_) return *this;
    if (!value || PyDict_SetItemString(ns_.get(), name, value.get()) < 0) failed_ = true;
    return *this;
}

ClassBuilder& ClassBuilder::method(const FunctionDecl& decl) {
    return attr(decl.name, make_function(decl, qualname(decl.name).c_str(), module_));
}

ClassBuilder& ClassBuilder::static_method(const FunctionDecl& decl) {
    return attr(decl.name, make_staticmethod(decl, qualname(decl.name).c_str(), module_));
}

ClassBuilder& ClassBuilder::property(const FunctionDecl& decl) {
    return attr(decl.name, make_property(decl, qualname(decl.name).c_str(), module_));
}

Handle ClassBuilder::build() {
    if (failed_) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "building class %s failed", name_.c_str());
        return {};
    }
    Handle bases = steal(PyTuple_New(static_cast<Py_ssize_t>(bases_.size())));
    if (!bases) return {};
    // The most derived metaclass of the bases, as the class statement picks it.
    PyTypeObject* meta = &PyType_Type;
    for (std::size_t i = 0; i < bases_.size(); ++i) {
        PyObject* b = bases_[i];
        Py_INCREF(b);
        PyTuple_SET_ITEM(bases.get(), static_cast<Py_ssize_t>(i), b);
        PyTypeObject* bm = Py_TYPE(b);
        if (PyType_IsSubtype(bm, meta)) meta = bm;
    }
    Handle name = steal(PyUnicode_FromString(name_.c_str()));
    if (!name) return {};
    const char* doc = find_doc(name_.c_str());
    if (doc && !PyDict_GetItemString(ns_.get(), "__doc__")) {
        Handle text = steal(PyUnicode_FromString(doc));
        if (!text || PyDict_SetItemString(ns_.get(), "__doc__", text.get()) < 0) return {};
    }
    PyObject* args[] = {name.get(), bases.get(), ns_.get()};
    return steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(meta), args, 3, nullptr));
}

bool print_line(PyObject* text, PyObject* file) {
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* print = builtins ? PyDict_GetItemWithError(builtins, OZU_ID("print")) : nullptr;
    if (!print) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'print' is not defined");
        return false;
    }
    Handle result;
    if (file) {
        PyObject* args[] = {text, file};
        Handle kwnames = steal(PyTuple_Pack(1, OZU_ID("file")));
        if (!kwnames) return false;
        result = steal(PyObject_Vectorcall(print, args, 1, kwnames.get()));
    } else {
        result = steal(PyObject_CallOneArg(print, text));
    }
    return static_cast<bool>(result);
}

void ClassGuard::record(PyObject* module_dict, PyObject* global_name, PyObject* cls) {
    dict_ = module_dict;
    name_ = global_name;
    Py_XINCREF(cls);
    Py_XSETREF(cls_, cls);  // kept alive, so the identity and flag tests never read a dead type
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    // A lookup assigns the type a version tag if it has none yet.
    Handle probe = steal(PyObject_GetAttr(cls, OZU_ID("__doc__")));
    PyErr_Clear();
    tag_ = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

bool ClassGuard::untouched() const noexcept {
    if (!cls_ || tag_ == 0) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls_);
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) || type->tp_version_tag != tag_) return false;
    PyObject* current = PyDict_GetItemWithError(dict_, name_);
    if (!current) PyErr_Clear();
    return current == cls_;
}

}  // namespace ozu::py
