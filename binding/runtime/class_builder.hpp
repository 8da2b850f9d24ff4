// Builds the module's classes as ordinary Python classes: the metaclass of the bases (type or
// ABCMeta) is called with the name, the bases and a namespace filled in declaration order.
#pragma once
#include "runtime/function.hpp"

#include <string>
#include <vector>

namespace ozu::py {

class ClassBuilder {
public:
    explicit ClassBuilder(const char* name, const char* module = "ozu_mew");

    ClassBuilder& base(PyObject* base);          // borrowed; in order
    ClassBuilder& doc(const char* text);
    ClassBuilder& attr(const char* name, Handle value);  // constants and ready-made objects
    ClassBuilder& method(const FunctionDecl& decl);
    ClassBuilder& static_method(const FunctionDecl& decl);
    ClassBuilder& property(const FunctionDecl& decl);

    // The new class, or empty with an exception set (also for any earlier failure).
    Handle build();

private:
    std::string qualname(const char* member) const;

    std::string name_;
    const char* module_;
    std::vector<PyObject*> bases_;
    Handle ns_;
    bool failed_ = false;
};

// Interned text for attribute and global names; created once, kept for the process.
PyObject* intern(const char* text);
#define OZU_ID(text) ([]() -> PyObject* { static PyObject* const s_id = ::ozu::py::intern(text); return s_id; }())

// Calls builtins.print(text) on standard output, or print(text, file=file) when file is given.
bool print_line(PyObject* text, PyObject* file = nullptr);

// Guards a fast path that stands in for calling "Class.member" through a module global: valid
// while the module global still names the class recorded at import and nobody has assigned to
// the class since (its type version tag is unchanged). The guard owns a reference to the class
// for the life of the process.
class ClassGuard {
public:
    void record(PyObject* module_dict, PyObject* global_name, PyObject* cls);
    bool untouched() const noexcept;

private:
    PyObject* dict_ = nullptr;
    PyObject* name_ = nullptr;
    PyObject* cls_ = nullptr;
    unsigned int tag_ = 0;
};

}  // namespace ozu::py
