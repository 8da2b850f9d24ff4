// Functions implemented in C++ that behave like the module's Python functions: they bind to an
// instance as methods do, carry __name__/__qualname__/__doc__/__isabstractmethod__, and bind their
// arguments through one declarative signature with the module's exact argument errors.
#pragma once
#include "runtime/handle.hpp"

#include <array>
#include <cstdint>

namespace ozu::py {

// Declared type of a parameter, checked exactly on entry (bool is not int; None only where None
// is the default).
enum class Check : std::uint8_t { Any, Str, Int, List };

struct Default {
    enum class Kind : std::uint8_t { Required, None, Int, True, False };
    Kind kind = Kind::Required;
    long value = 0;

    static constexpr Default required() { return {}; }
    static constexpr Default none() { return {Kind::None, 0}; }
    static constexpr Default integer(long v) { return {Kind::Int, v}; }
    static constexpr Default boolean(bool v) { return {v ? Kind::True : Kind::False, 0}; }
};

struct Param {
    const char* name = nullptr;
    Check check = Check::Any;
    Default dflt = Default::required();
};

inline constexpr int kMaxParams = 8;

struct BoundArgs;
// Implementation of an operation: returns a new reference, or null with an exception set.
using Impl = PyObject* (*)(BoundArgs& args);

// Everything that describes one operation. Declarations are static data; a Function object points at one.
struct FunctionDecl {
    const char* name;                 // used in argument error messages
    Param params[kMaxParams];         // the object itself is the first parameter of methods
    Impl impl;
    const char* doc = nullptr;
    bool star_args = false;           // collects extra positional arguments (*args)
    bool star_kwargs = false;         // collects extra keyword arguments (**kwargs)
    bool abstract = false;            // carries __isabstractmethod__ = True
};

// The arguments of one call after binding. Values are borrowed from the call (or from the
// function's defaults) and stay valid for the whole call.
struct BoundArgs {
    std::array<PyObject*, kMaxParams> values{};
    Handle star_args;    // tuple, when the declaration has star_args
    Handle kwargs;       // dict, when the declaration has star_kwargs
    PyObject* function = nullptr;  // the Function object being called

    PyObject* operator[](int i) const noexcept { return values[static_cast<std::size_t>(i)]; }

    // The first N values, for naming them where they are used:
    //     auto [self, station, name] = args.take<3>();
    template <std::size_t N>
    std::array<PyObject*, N> take() const noexcept {
        static_assert(N <= kMaxParams, "more values than a declaration has parameters");
        std::array<PyObject*, N> out;
        for (std::size_t i = 0; i < N; ++i) out[i] = values[i];
        return out;
    }
};

// Documentation texts of one module, looked up by qualified name ("MewMaster.get_uint16", or the
// class name for a class) when a declaration or a class brings no text of its own. The texts are
// kept apart from the declarations so that they read as one guide. The list ends with {nullptr, nullptr}.
struct DocEntry {
    const char* qualname;
    const char* text;
};
// Sets the module's texts; called by the module's entry before it builds its classes.
void use_docs(const DocEntry* entries) noexcept;
// The text for qualname, or null.
const char* find_doc(const char* qualname) noexcept;

// Creates a function object for the decl. qualname is "Class.name" for members, "name" otherwise;
// module is the __module__ of the function.
Handle make_function(const FunctionDecl& decl, const char* qualname, const char* module = "ozu_mew");
// Wrappers used by class namespaces.
Handle make_staticmethod(const FunctionDecl& decl, const char* qualname, const char* module = "ozu_mew");
Handle make_property(const FunctionDecl& decl, const char* qualname, const char* module = "ozu_mew");

// The type of the function objects (for isinstance checks in fast paths).
PyTypeObject* function_type();
// True when obj is a function object built from exactly this decl.
bool is_function_of(PyObject* obj, const FunctionDecl& decl) noexcept;

// The module-wide "Expected %s, got %.200s" TypeError; returns null.
PyObject* raise_expected(const char* expected, PyObject* got);
// The declared-type TypeError of a parameter; returns null.
PyObject* raise_arg_type(const char* param, const char* expected, PyObject* got);
// type(obj).__name__ as UTF-8 (valid while the type lives).
const char* type_name(PyObject* obj) noexcept;

// Whether `assert` statements run (false under python -O).
bool assertions_enabled() noexcept;
// Raises AssertionError without a message and returns null.
PyObject* raise_assertion();

bool init_function_type();

}  // namespace ozu::py
