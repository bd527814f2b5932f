// The method boundary: how calls reach the method bodies, how failures
// leave them, and how the bodies call back into Python.
#include "boundary.h"

#include <frameobject.h>
#include <stddef.h>
#include <string.h>

namespace qv {

// ---------------------------------------------------------------------
// Argument binding

// Binding messages are built by hand rather than through PyErr_Format:
// parsing a format and printing numbers through sprintf costs more than
// the whole failed call otherwise does, and programs that probe call
// signatures in a loop (or catch TypeError as a matter of course) pay it
// every time. The texts are exactly those the format strings would give.
namespace {
class MessageText {
  public:
    MessageText &add(const char *text, size_t limit = sizeof buf_) {
        size_t n = strnlen(text, limit);
        if (n > sizeof buf_ - len_) n = sizeof buf_ - len_;
        memcpy(buf_ + len_, text, n);
        len_ += n;
        return *this;
    }
    MessageText &add(Py_ssize_t n) {
        char digits[24];
        int k = 0;
        size_t u = n < 0 ? (size_t)0 - (size_t)n : (size_t)n;
        do {
            digits[k++] = (char)('0' + u % 10);
            u /= 10;
        } while (u);
        if (n < 0) digits[k++] = '-';
        while (k && len_ < sizeof buf_) buf_[len_++] = digits[--k];
        return *this;
    }
    // The text as a str; the method names and fixed words are ASCII.
    Ref str() const { return Ref::steal(PyUnicode_FromStringAndSize(buf_, (Py_ssize_t)len_)); }

  private:
    // Room for the longest message: a name cut at 200 characters as %.200s
    // cuts it, the longest fixed words (45 characters) and two numbers of at
    // most 20 digits. Anything longer would be cut, never written past.
    char buf_[200 + 45 + 2 * 20];
    size_t len_ = 0;
};

void raise_type_error(PyObject *message) {
    if (message) PyErr_SetObject(PyExc_TypeError, message);
}

// "<prefix>'<key>'", the key as it is (it may hold any code point).
void raise_with_key(const MessageText &prefix, PyObject *key) {
    Ref head = prefix.str();
    if (!head) return;
    PyObject *parts[3] = {head.get(), key, g.s.quote};
    raise_type_error(concat_strings(parts, 3).get());
}
}  // namespace

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
[[gnu::cold, gnu::noinline]] static void count_error(const MethodInfo *method,
                                                     const char *word,
                                                     Py_ssize_t expected,
                                                     Py_ssize_t given) {
    MessageText text;
    text.add(method->name, 200).add("() takes ").add(word, 8).add(" ").add(expected);
    text.add(" positional argument").add(expected == 1 ? "" : "s").add(" (").add(given);
    raise_type_error(text.add(" given)").str().get());
}

static inline bool same_text(PyObject *a, PyObject *b) {
    Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    if (len != PyUnicode_GET_LENGTH(b)) return false;
    int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)len * (size_t)kind) == 0;
}

// Identity first: names written in Python source are interned like ours.
// Two different interned strings never have the same text, so the text is
// only compared when the keyword is not interned (built at run time, or a
// str subclass).
static inline bool names_match(PyObject *keyword, PyObject *param) {
    if (keyword == param) return true;
    if (!PyUnicode_Check(keyword) || PyUnicode_CHECK_INTERNED(keyword)) return false;
    return same_text(keyword, param);
}

// Index in kwnames of the keyword naming `param`, or -1.
static Py_ssize_t find_keyword(PyObject *kwnames, Py_ssize_t nkw, PyObject *param) {
    PyObject *const *names = &PyTuple_GET_ITEM(kwnames, 0);
    for (Py_ssize_t i = 0; i < nkw; i++)
        if (names[i] == param) return i;
    for (Py_ssize_t i = 0; i < nkw; i++)
        if (names_match(names[i], param)) return i;
    return -1;
}

// Reports the first keyword that names no free parameter.
[[gnu::cold, gnu::noinline]] static int keyword_error(const MethodInfo *method,
                                                      Py_ssize_t nargs,
                                                      PyObject *kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        bool is_free = false;
        for (Py_ssize_t i = nargs; i < method->nparams && !is_free; i++)
            is_free = names_match(key, *method->params[i]);
        if (is_free) continue;
        if (!PyUnicode_Check(key)) {
            MessageText text;
            text.add(method->name, 200).add("() keywords must be strings");
            raise_type_error(text.str().get());
            return -1;
        }
        for (Py_ssize_t i = 0; i < nargs; i++) {
            if (names_match(key, *method->params[i])) {
                MessageText text;
                text.add(method->name).add("() got multiple values for keyword argument '");
                raise_with_key(text, key);
                return -1;
            }
        }
        MessageText text;
        raise_with_key(text.add(method->name).add("() got an unexpected keyword argument '"), key);
        return -1;
    }
    return 0;
}

// Fills one borrowed slot per parameter; -1 with TypeError set.
static int bind(Function *func, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames, PyObject **slots) {
    const MethodInfo *method = func->method;
    const Py_ssize_t max = method->nparams, min = method->nrequired;
    if (nargs > max) {
        count_error(method, min == max ? "exactly" : "at most", max, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) slots[i] = args[i];

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < min) {
            count_error(method, min == max ? "exactly" : "at least", min, nargs);
            return -1;
        }
        for (Py_ssize_t i = nargs; i < max; i++) slots[i] = func->call_defaults[i];
        return 0;
    }

    PyObject *const *kwvalues = args + nargs;
    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < max; i++) {
        Py_ssize_t k = used < nkw ? find_keyword(kwnames, nkw, *method->params[i]) : -1;
        if (k >= 0) {
            slots[i] = kwvalues[k];
            used++;
        } else if (i < min) {
            count_error(method, min == max ? "exactly" : "at least", min, i);
            return -1;
        } else {
            slots[i] = func->call_defaults[i];
        }
    }
    if (used < nkw) return keyword_error(method, nargs, kwnames);
    return 0;
}

// Method calls under way, in every thread together. Only a call made while
// another is under way can be part of a cycle; a call that finds none skips
// the recursion guard, whose two calls (each reading the thread state from
// thread-local storage) would otherwise cost more than the rest of the
// binding. The count changes only under the GIL, and each call undoes its
// own step, so it is exact; a program with calls under way in other threads
// merely pays for the guard.
static unsigned calls_under_way = 0;

[[gnu::cold, gnu::noinline]] static PyObject *refuse_call(const Function *func) {
    return fail(func, func->method->head_line);
}

static PyObject *function_vectorcall(PyObject *callable, PyObject *const *args,
                                     size_t nargsf, PyObject *kwnames) {
    Function *func = (Function *)callable;
    const MethodInfo *method = func->method;
    // Every level of a cycle through the methods (an agent whose run is this
    // method, a method installed as __getattribute__) is C, which Python's
    // own recursion check never sees: the guard keeps such a cycle from
    // overflowing the C stack and makes it a RecursionError. Every level but
    // the outermost finds a call under way, so the guard sees them all.
    const bool guarded = calls_under_way != 0;
    if (guarded && Py_EnterRecursiveCall(" while calling a Python object"))
        return refuse_call(func);
    calls_under_way++;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *result;
    if (nargs == method->nparams && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) {
        // Every parameter given by position: the caller's array is the slots.
        result = method->body(func, args);
    } else {
        PyObject *slots[kMaxParams];
        result = bind(func, args, nargs, kwnames, slots) < 0 ? fail(func, method->head_line)
                                                             : method->body(func, slots);
    }
    calls_under_way--;
    if (guarded) Py_LeaveRecursiveCall();
    // A body returns a result or raises, never both, never neither.
    assert((result != nullptr) == (PyErr_Occurred() == nullptr));
    return result;
}

// ---------------------------------------------------------------------
// Traceback entries

// The code objects of the entries are made once per site and kept; each
// entry gets a frame of its own, as each call of a Python function does.
// A site is a (function, line) pair of quorvane/base.py. The cache has a
// row per line of that file and room in each row for the most functions
// that share one line: three, on line 56 (the class body's def statement,
// a binding failure of AgentRunner.__init__ and its __defaults__).
namespace {
constexpr int kLastLine = 87;
constexpr int kFunctionsPerLine = 3;
struct CodeCacheEntry {
    const char *funcname;  // static text: compared by address
    PyCodeObject *code;
};
CodeCacheEntry code_cache[kLastLine + 1][kFunctionsPerLine];
}  // namespace

// A new reference to the code object for (funcname, line), or null with an
// exception set.
static PyCodeObject *entry_code(const char *funcname, int line) {
    assert(line >= 1 && line <= kLastLine);
    CodeCacheEntry *row = line >= 1 && line <= kLastLine ? code_cache[line] : nullptr;
    int i = 0;
    for (; row && i < kFunctionsPerLine && row[i].funcname; i++)
        if (row[i].funcname == funcname) return (PyCodeObject *)Py_NewRef(row[i].code);
    assert(row && i < kFunctionsPerLine);
    PyCodeObject *code = PyCode_NewEmpty("quorvane/base.py", funcname, line);
    if (code && row && i < kFunctionsPerLine)
        row[i] = {funcname, (PyCodeObject *)Py_NewRef(code)};
    return code;
}

void add_traceback(const char *funcname, int line, PyObject *globals) {
    // The propagating exception is set aside while the entry is made, so
    // that making it cannot disturb it.
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return;
    Ref code = Ref::steal((PyObject *)entry_code(funcname, line));
    if (!code) return;
    Ref frame = Ref::steal(
        (PyObject *)PyFrame_New(PyThreadState_Get(), (PyCodeObject *)code.get(), globals, nullptr));
    if (!frame) return;
    PyErr_SetRaisedException(exc.release());
    PyTraceBack_Here((PyFrameObject *)frame.get());
}

PyObject *fail(const Function *func, int line) {
    add_traceback(func->method->traceback_name, line, globals_of(func));
    return nullptr;
}

// ---------------------------------------------------------------------
// Exception capture

// What the innermost exception slot holds: a new reference, or null when it
// is empty. The handled exception is kept per running generator or
// coroutine, and the interpreter reports the innermost one that is set, so
// what it reports may belong to a caller further out. Setting the
// innermost slot writes there and nowhere else; restoring the reported
// value into a generator's empty slot would hand it the caller's exception
// for good. When something is reported, the innermost slot is emptied and
// asked again: the same answer means it came from further out. (A generator
// handling the very object that a caller around it handles too reads as
// empty; while that caller's handler lasts the answer is the same.)
static Ref innermost_handled() {
    Ref reported = Ref::steal(PyErr_GetHandledException());
    if (!reported || reported.get() == Py_None) return {};
    PyErr_SetHandledException(nullptr);
    Ref outer = Ref::steal(PyErr_GetHandledException());
    if (outer.get() == reported.get()) return {};
    return reported;
}

Ref ExceptScope::catch_at(const Function *func, int line) {
    fail(func, line);
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return {};
    if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) {
        PyErr_SetRaisedException(exc.release());
        return {};
    }
    saved_ = innermost_handled();
    PyErr_SetHandledException(exc.get());
    handling_ = true;
    return exc;
}

// ---------------------------------------------------------------------
// Attribute errors

[[gnu::cold]] void attribute_error_context(PyObject *obj, PyObject *name) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    // One that names its attribute or object already, even as None, is left
    // as raised. Like PyObject_GetAttr, this reads the exception's own
    // fields: reading them as attributes would run a subclass's code, whose
    // error would replace the one raised. An error while setting them takes
    // its place, as there.
    auto *fields = (PyAttributeErrorObject *)exc.get();
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_AttributeError) && !fields->name &&
        !fields->obj &&
        (PyObject_SetAttr(exc.get(), g.s.name, name) < 0 ||
         PyObject_SetAttr(exc.get(), g.s.obj, obj) < 0))
        return;
    PyErr_SetRaisedException(exc.release());
}

// ---------------------------------------------------------------------
// Globals, comparisons, strings

Ref lookup_global(PyObject *globals, PyObject *name) {
    PyObject *value = PyDict_GetItemWithError(globals, name);
    if (value) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
    Ref builtin = get_attr(g.builtins, name);
    if (builtin || !PyErr_ExceptionMatches(PyExc_AttributeError)) return builtin;
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

int equals_none(PyObject *v) {
    if (v == Py_None) return 1;
    // For these exact types `None == v` is decided by identity: neither
    // side's __eq__ knows the other. Anything else asks the protocol.
    PyTypeObject *t = Py_TYPE(v);
    if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type)
        return 0;
    Ref result = Ref::steal(PyObject_RichCompare(Py_None, v, Py_EQ));
    if (!result) return -1;
    return truth(result.get());
}

Ref concat_strings(PyObject *const *parts, Py_ssize_t n) {
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 0;
    bool one_byte = true;
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i]);
        if (len > PY_SSIZE_T_MAX - total) {
            PyErr_NoMemory();
            return {};
        }
        total += len;
        if (PyUnicode_IS_ASCII(parts[i])) continue;
        one_byte = one_byte && PyUnicode_KIND(parts[i]) == PyUnicode_1BYTE_KIND;
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(parts[i]);
        if (m > maxchar) maxchar = m;
    }
    Ref result = Ref::steal(PyUnicode_New(total, maxchar));
    if (!result) return {};
    Py_ssize_t pos = 0;
    if (one_byte) {
        // The usual case, every part ASCII or Latin-1 like the result: the
        // new, unshared result is filled in place.
        Py_UCS1 *out = PyUnicode_1BYTE_DATA(result.get());
        for (Py_ssize_t i = 0; i < n; i++) {
            Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i]);
            memcpy(out + pos, PyUnicode_1BYTE_DATA(parts[i]), (size_t)len);
            pos += len;
        }
        return result;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i]);
        if (PyUnicode_CopyCharacters(result.get(), pos, parts[i], 0, len) < 0) return {};
        pos += len;
    }
    return result;
}

// ---------------------------------------------------------------------
// Calls into Python objects

[[gnu::cold, gnu::noinline]] static void null_result_error() {
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
}

Ref call_positional(PyObject *callable, PyObject *const *args, Py_ssize_t n) {
    if (PyCFunction_Check(callable)) {
        int flags = PyCFunction_GET_FLAGS(callable) & ~METH_COEXIST;
        if ((flags == METH_O && n == 1) || (flags == METH_NOARGS && n == 0)) {
            if (Py_EnterRecursiveCall(" while calling a Python object")) return {};
            PyObject *r = PyCFunction_GET_FUNCTION(callable)(PyCFunction_GET_SELF(callable),
                                                             n ? args[0] : nullptr);
            Py_LeaveRecursiveCall();
            if (!r && !PyErr_Occurred()) null_result_error();
            return Ref::steal(r);
        }
    }
    // One free slot in front lets a bound method prepend its instance in
    // place instead of copying the arguments.
    PyObject *buf[kMaxParams + 1];
    assert(n >= 0 && n <= kMaxParams);
    buf[0] = nullptr;
    for (Py_ssize_t i = 0; i < n; i++) buf[i + 1] = args[i];
    return Ref::steal(
        PyObject_Vectorcall(callable, buf + 1, (size_t)n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_method1(PyObject *obj, PyObject *name, PyObject *arg) {
    PyObject *args[2] = {obj, arg};
    return Ref::steal(PyObject_VectorcallMethod(
        name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_keywords(PyObject *callable, PyObject *kwargs) {
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (!call) return Ref::steal(PyObject_Call(callable, g.empty_tuple, kwargs));
    if (Py_EnterRecursiveCall(" while calling a Python object")) return {};
    PyObject *r = call(callable, g.empty_tuple, kwargs);
    Py_LeaveRecursiveCall();
    if (!r && !PyErr_Occurred()) null_result_error();
    return Ref::steal(r);
}

Ref call_print(PyObject *const *args, Py_ssize_t n) {
    return call_positional(g.print, args, n);
}

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
    static PyObject **const qualnames[M_COUNT] = {
        &g.s.qn_dbc_init, &g.s.qn_dbc_connect, &g.s.qn_dbc_getdbinstance,
        &g.s.qn_ar_init,  &g.s.qn_ar_run,
    };
    static PyObject **const names[M_COUNT] = {
        &g.s.dunder_init, &g.s.connect, &g.s.getdbinstance, &g.s.dunder_init, &g.s.run,
    };
    Function *f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return {};
    const MethodInfo *method = &kMethods[id];
    f->vectorcall = function_vectorcall;
    f->method = method;
    for (PyObject *&d : f->call_defaults) d = Py_None;
    f->stored_default = nullptr;
    f->name = Py_NewRef(*names[id]);
    f->qualname = Py_NewRef(*qualnames[id]);
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
