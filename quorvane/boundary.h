// The boundary between Python callers and the method bodies: argument
// binding, global lookup, traceback entries, `except Exception as e`
// capture and calls into Python objects.
#pragma once

#include <Python.h>

#include "function.h"
#include "ref.h"
#include "state.h"

namespace qv {

// The function type's call slot: binds the arguments and runs the body.
PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames);

// Adds one traceback entry (function name, "quorvane/base.py", line) to the
// exception being raised; its frame has `globals` as its f_globals.
void add_traceback(const char *funcname, int line, PyObject *globals);

// The globals a method reads: its own, those of the module that made it, as
// a Python function keeps its __globals__ (the methods of a failed import
// still read the dict they were made in). A function the collector has
// cleared has none left and reads the module's.
static inline PyObject *globals_of(const Function *func) {
    return func->globals ? func->globals : g.moddict;
}

// Adds a traceback entry for a failure of `func` at `line`; returns null so
// that bodies can write `return fail(func, line);`. Out of line and cold:
// the bodies' fast paths stay short.
[[gnu::cold, gnu::noinline]] PyObject *fail(const Function *func, int line);

// Global lookup: `globals`, then the builtins module, else NameError. Never
// cached.
Ref lookup_global(PyObject *globals, PyObject *name);

// Truth value under Python's rules; -1 on error.
static inline int truth(PyObject *v) {
    if (v == Py_True) return 1;
    if (v == Py_False || v == Py_None) return 0;
    return PyObject_IsTrue(v);
}

// `str(v)`: v itself when exactly a str.
static inline Ref to_str(PyObject *v) {
    if (PyUnicode_CheckExact(v)) return Ref::borrow(v);
    return Ref::steal(PyObject_Str(v));
}

// The last step of PyObject_GetAttr, which the direct slot calls below
// skip: an AttributeError that does not yet say which attribute of which
// object failed gets `name` and `obj`, from which tracebacks make their
// "Did you mean" hint. Runs only when a read has failed.
void attribute_error_context(PyObject *obj, PyObject *name);

// Attribute access through the type's own slots. The module's own names are
// exact, interned str, for which the checks and interning that
// PyObject_GetAttr / PyObject_SetAttr add before the same slot call have
// nothing to do. The names a star import takes from __all__ may be any str,
// or no str at all, and reach the slot as they are. Overrides of __getattribute__, __getattr__ and __setattr__
// live in those slots and still take effect.
static inline Ref get_attr(PyObject *obj, PyObject *name) {
    getattrofunc get = Py_TYPE(obj)->tp_getattro;
    if (!get) return Ref::steal(PyObject_GetAttr(obj, name));
    PyObject *value = get(obj, name);
    if (!value) attribute_error_context(obj, name);
    return Ref::steal(value);
}

// `obj.name` read to be called at once, `obj.name(...)`, as the
// interpreter's method load reads it: through PyObject_GetAttr for a type
// with attribute access of its own, by the generic lookup otherwise, which
// leaves an error raised by a descriptor as it is (its own "has no
// attribute" error says name and object already).
static inline Ref get_method_attr(PyObject *obj, PyObject *name) {
    getattrofunc get = Py_TYPE(obj)->tp_getattro;
    if (get == PyObject_GenericGetAttr) return Ref::steal(get(obj, name));
    return get_attr(obj, name);
}

static inline int set_attr(PyObject *obj, PyObject *name, PyObject *value) {
    setattrofunc set = Py_TYPE(obj)->tp_setattro;
    return set ? set(obj, name, value) : PyObject_SetAttr(obj, name, value);
}

// `obj[key] = value`; a plain dict is stored into directly, anything else
// (a dict subclass included, which may override __setitem__) goes through
// the mapping protocol.
static inline int set_item(PyObject *obj, PyObject *key, PyObject *value) {
    if (PyDict_CheckExact(obj)) return PyDict_SetItem(obj, key, value);
    return PyObject_SetItem(obj, key, value);
}

// `None == v`, truth-tested; -1 on error.
int equals_none(PyObject *v);

// Calls with positional arguments only.
Ref call_positional(PyObject *callable, PyObject *const *args, Py_ssize_t n);
static inline Ref call1(PyObject *callable, PyObject *arg) {
    return call_positional(callable, &arg, 1);
}

// Calls with no positional arguments and the keywords in `kwargs`, through
// the callee's call slot.
Ref call_keywords(PyObject *callable, PyObject *kwargs);

// `obj.name(arg)`, looked up and called as the interpreter's own method call
// does: a plain function found on the type is called with `obj` prepended
// instead of through a new bound-method object.
Ref call_method1(PyObject *obj, PyObject *name, PyObject *arg);

// Calls the print bound at start-up with positional arguments.
Ref call_print(PyObject *const *args, Py_ssize_t n);

// `except Exception as e:` around a protected region.
//
// Construct on entering the region. When a statement of the region fails,
// call `catch_at(line)`: it adds the traceback entry and, for an
// `Exception`, returns the caught instance and makes it the exception being
// handled; otherwise it returns null with the exception still raised. When
// the scope ends, the slot that held the caught exception gets back exactly
// what it held before, as the interpreter's own handler does. Like the
// interpreter's own `try`, entering costs nothing: the slot is only read on
// catching, and nothing the region runs can change it by then (a handler in
// called code restores it on leaving).
class ExceptScope {
  public:
    ExceptScope() noexcept = default;
    ExceptScope(const ExceptScope &) = delete;
    ExceptScope &operator=(const ExceptScope &) = delete;
    ~ExceptScope() {
        if (handling_) PyErr_SetHandledException(saved_.get());
    }

    Ref catch_at(const Function *func, int line);

  private:
    Ref saved_;  // what the innermost slot held; null when it was empty
    bool handling_ = false;
};

// Concatenates `n` str objects into a new str.
Ref concat_strings(PyObject *const *parts, Py_ssize_t n);

}  // namespace qv
