// The module's function type: what the methods are, as CPython's function
// objects are, with the attributes introspection reads and their setter
// rules, and the object's lifecycle. How a call reaches the body is the
// boundary's.
#include "function.h"

#include <stddef.h>

#include "boundary.h"

namespace qv {

// ---------------------------------------------------------------------
// The function type: attributes

[[gnu::cold, gnu::noinline]] static int type_error(const char *msg) {
    PyErr_SetString(PyExc_TypeError, msg);
    return -1;
}

// A function cleared by the garbage collector keeps its name, qualified
// name and code, as CPython's own functions do; every other field may be
// null from then on and reads as None.
static inline PyObject *new_ref_or_none(PyObject *v) { return Py_NewRef(v ? v : Py_None); }

static PyObject *fn_get_name(Function *f, void *) { return new_ref_or_none(f->name); }
static int fn_set_name(Function *f, PyObject *v, void *) {
    if (!v || !PyUnicode_Check(v)) return type_error("__name__ must be set to a string object");
    Py_XSETREF(f->name, Py_NewRef(v));
    return 0;
}

static PyObject *fn_get_qualname(Function *f, void *) { return new_ref_or_none(f->qualname); }
static int fn_set_qualname(Function *f, PyObject *v, void *) {
    if (!v || !PyUnicode_Check(v))
        return type_error("__qualname__ must be set to a string object");
    Py_XSETREF(f->qualname, Py_NewRef(v));
    return 0;
}

static PyObject *fn_get_module(Function *f, void *) { return new_ref_or_none(f->module); }
static int fn_set_module(Function *f, PyObject *v, void *) {
    Py_XSETREF(f->module, Py_XNewRef(v));
    return 0;
}

static PyObject *fn_get_doc(Function *f, void *) { return new_ref_or_none(f->doc); }
static int fn_set_doc(Function *f, PyObject *v, void *) {
    Py_XSETREF(f->doc, Py_XNewRef(v));
    return 0;
}

static PyObject *fn_get_dict(Function *f, void *) {
    if (!f->dict) {
        f->dict = PyDict_New();
        if (!f->dict) return nullptr;
    }
    return Py_NewRef(f->dict);
}
static int fn_set_dict(Function *f, PyObject *v, void *) {
    if (!v) return type_error("function's dictionary may not be deleted");
    if (!PyDict_Check(v)) return type_error("setting function's dictionary to a non-dict");
    Py_XSETREF(f->dict, Py_NewRef(v));
    return 0;
}

static PyObject *fn_get_globals(Function *f, void *) { return new_ref_or_none(f->globals); }
static PyObject *fn_get_closure(Function *, void *) { Py_RETURN_NONE; }
static PyObject *fn_get_code(Function *f, void *) { return new_ref_or_none(f->code); }

static PyObject *fn_get_defaults(Function *f, void *) {
    if (f->defaults_from_stored) {
        PyObject *t = PyTuple_Pack(2, Py_True, f->stored_default);
        if (!t) {
            add_traceback("quorvane.__defaults__", f->method->head_line, globals_of(f));
            return nullptr;
        }
        f->defaults = t;
        f->defaults_from_stored = false;
    }
    return new_ref_or_none(f->defaults);
}
static int fn_set_defaults(Function *f, PyObject *v, void *) {
    if (v == Py_None) v = nullptr;
    if (v && !PyTuple_Check(v)) return type_error("__defaults__ must be set to a tuple object");
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "changing __defaults__ of this method does not affect the values "
                     "used in function calls",
                     1) < 0)
        return -1;
    f->defaults_from_stored = false;
    Py_XSETREF(f->defaults, Py_XNewRef(v));
    return 0;
}

static PyObject *fn_get_kwdefaults(Function *f, void *) {
    if (f->defaults_from_stored) {
        Ref defaults = Ref::steal(fn_get_defaults(f, nullptr));
        if (!defaults) return nullptr;
    }
    return new_ref_or_none(f->kwdefaults);
}
static int fn_set_kwdefaults(Function *f, PyObject *v, void *) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) return type_error("__kwdefaults__ must be set to a dict object");
    if (PyErr_WarnEx(PyExc_RuntimeWarning,
                     "changing __kwdefaults__ of this method does not affect the values "
                     "used in function calls",
                     1) < 0)
        return -1;
    Py_XSETREF(f->kwdefaults, Py_XNewRef(v));
    return 0;
}

static PyObject *fn_get_annotations(Function *f, void *) {
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}
static int fn_set_annotations(Function *f, PyObject *v, void *) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) return type_error("__annotations__ must be set to a dict object");
    Py_XSETREF(f->annotations, Py_XNewRef(v));
    return 0;
}

static PyObject *fn_get_is_coroutine(Function *, void *) { Py_RETURN_FALSE; }

#define QV_GETTER(fn) (getter)(void (*)(void))(fn)
#define QV_SETTER(fn) (setter)(void (*)(void))(fn)

static PyGetSetDef function_getset[] = {
    {"__name__", QV_GETTER(fn_get_name), QV_SETTER(fn_set_name), nullptr, nullptr},
    {"func_name", QV_GETTER(fn_get_name), QV_SETTER(fn_set_name), nullptr, nullptr},
    {"__qualname__", QV_GETTER(fn_get_qualname), QV_SETTER(fn_set_qualname), nullptr, nullptr},
    {"__module__", QV_GETTER(fn_get_module), QV_SETTER(fn_set_module), nullptr, nullptr},
    {"__doc__", QV_GETTER(fn_get_doc), QV_SETTER(fn_set_doc), nullptr, nullptr},
    {"func_doc", QV_GETTER(fn_get_doc), QV_SETTER(fn_set_doc), nullptr, nullptr},
    {"__dict__", QV_GETTER(fn_get_dict), QV_SETTER(fn_set_dict), nullptr, nullptr},
    {"func_dict", QV_GETTER(fn_get_dict), QV_SETTER(fn_set_dict), nullptr, nullptr},
    {"__globals__", QV_GETTER(fn_get_globals), nullptr, nullptr, nullptr},
    {"func_globals", QV_GETTER(fn_get_globals), nullptr, nullptr, nullptr},
    {"__closure__", QV_GETTER(fn_get_closure), nullptr, nullptr, nullptr},
    {"func_closure", QV_GETTER(fn_get_closure), nullptr, nullptr, nullptr},
    {"__code__", QV_GETTER(fn_get_code), nullptr, nullptr, nullptr},
    {"func_code", QV_GETTER(fn_get_code), nullptr, nullptr, nullptr},
    {"__defaults__", QV_GETTER(fn_get_defaults), QV_SETTER(fn_set_defaults), nullptr, nullptr},
    {"func_defaults", QV_GETTER(fn_get_defaults), QV_SETTER(fn_set_defaults), nullptr, nullptr},
    {"__kwdefaults__", QV_GETTER(fn_get_kwdefaults), QV_SETTER(fn_set_kwdefaults), nullptr,
     nullptr},
    {"__annotations__", QV_GETTER(fn_get_annotations), QV_SETTER(fn_set_annotations), nullptr,
     nullptr},
    {"_is_coroutine", QV_GETTER(fn_get_is_coroutine), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};


// Pickles by reference: the qualified name is looked up in __module__.
static PyObject *fn_reduce(PyObject *self, PyObject *) {
    return new_ref_or_none(((Function *)self)->qualname);
}

static PyMethodDef function_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------
// The function type: lifecycle

static int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Function *f = (Function *)self;
    Py_VISIT(f->stored_default);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    return 0;
}

// As CPython's function clear: the name and qualified name become empty
// strings and the code object stays, so that a function the collector has
// cleared still reads, prints and binds without null fields.
static int function_clear(PyObject *self) {
    Function *f = (Function *)self;
    // A cleared function still binds and reports; its stored default goes,
    // so calls fall back to None for it. That happens first: releasing any
    // field can run code that calls the function.
    for (PyObject *&d : f->call_defaults)
        if (d != Py_None && d != Py_True) d = Py_None;
    f->defaults_from_stored = false;
    Py_CLEAR(f->stored_default);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_XSETREF(f->name, Py_NewRef(g.empty_str));
    Py_XSETREF(f->qualname, Py_NewRef(g.empty_str));
    return 0;
}

static void function_dealloc(PyObject *self) {
    Function *f = (Function *)self;
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    PyObject_GC_Del(self);
}

static PyObject *function_descr_get(PyObject *func, PyObject *obj, PyObject *) {
    if (obj == Py_None || obj == nullptr) return Py_NewRef(func);
    return PyMethod_New(func, obj);
}

static PyObject *function_repr(PyObject *self) {
    Function *f = (Function *)self;
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname ? f->qualname : g.empty_str,
                                self);
}

// Filled in by init_function_type(): designated initializers cannot skip
// fields of PyTypeObject in C++.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
static PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

int init_function_type() {
    PyTypeObject *t = &FunctionType;
    if (t->tp_flags & Py_TPFLAGS_READY) return 0;
    t->tp_name = "quorvane.function";
    t->tp_basicsize = sizeof(Function);
    t->tp_dealloc = function_dealloc;
    t->tp_vectorcall_offset = offsetof(Function, vectorcall);
    t->tp_repr = function_repr;
    t->tp_call = PyVectorcall_Call;
    t->tp_getattro = PyObject_GenericGetAttr;
    t->tp_setattro = PyObject_GenericSetAttr;
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                  Py_TPFLAGS_METHOD_DESCRIPTOR;
    t->tp_traverse = function_traverse;
    t->tp_clear = function_clear;
    t->tp_weaklistoffset = offsetof(Function, weakreflist);
    t->tp_methods = function_methods;
    t->tp_getset = function_getset;
    t->tp_descr_get = function_descr_get;
    t->tp_dictoffset = offsetof(Function, dict);
    if (PyType_Ready(t) < 0) return -1;
    return 0;
}

Ref new_function(MethodId id, PyObject *defaults) {
    Function *f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return {};
    const MethodInfo *method = &kMethods[id];
    f->vectorcall = function_vectorcall;
    f->method = method;
    for (PyObject *&d : f->call_defaults) d = Py_None;
    f->stored_default = nullptr;
    f->name = Py_NewRef(*method->func_name);
    f->qualname = Py_NewRef(*method->qualname);
    f->module = Py_NewRef(g.s.quorvane);
    f->doc = nullptr;
    f->dict = nullptr;
    f->globals = Py_NewRef(g.moddict);
    f->code = Py_NewRef(g.code[id]);
    f->defaults = Py_XNewRef(defaults);
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->weakreflist = nullptr;
    f->defaults_from_stored = false;
    PyObject_GC_Track((PyObject *)f);
    return Ref::steal((PyObject *)f);
}

}  // namespace qv
