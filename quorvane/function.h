// The module's function type and the static description of each method it
// runs.
#pragma once

#include <Python.h>

#include "ref.h"
#include "state.h"

namespace qv {

constexpr Py_ssize_t kMaxParams = 5;
// Parameters and the other locals of a code object.
constexpr int kMaxVarnames = 6;

struct Function;

// A method body runs on bound arguments: one borrowed slot per parameter.
using Body = PyObject *(*)(Function *func, PyObject *const *slots);

// Static description of one method; everything the binder needs.
struct MethodInfo {
    const char *name;            // bare name shown in binding messages
    const char *traceback_name;  // "quorvane.<class>.<method>"
    Body body;
    // Addresses of the interned names in `g`: the parameters first, then
    // the other locals of the code object.
    PyObject **varnames[kMaxVarnames];
    Py_ssize_t nparams;
    Py_ssize_t nrequired;
    int nvarnames;
    int head_line;
    PyObject **func_name;  // __name__ and __qualname__ of its function
    PyObject **qualname;
};

extern const MethodInfo kMethods[M_COUNT];

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodInfo *method;
    // Defaults that calls use, fixed when the function is made; borrowed
    // except `stored_default`, which the function owns.
    PyObject *call_defaults[kMaxParams];
    PyObject *stored_default;
    // What introspection reports; assignments change only these.
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *dict;
    PyObject *globals;
    PyObject *code;
    PyObject *defaults;
    PyObject *kwdefaults;
    PyObject *annotations;
    PyObject *weakreflist;
    // __defaults__ is built from the stored default on first reading.
    bool defaults_from_stored;
};

// Makes the function type ready; -1 with an exception set.
int init_function_type();

// A new function object for `id`; `defaults` is what __defaults__ reports
// (borrowed, may be null for None).
Ref new_function(MethodId id, PyObject *defaults);

}  // namespace qv
