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
            is_free = names_match(key, *method->varnames[i]);
        if (is_free) continue;
        if (!PyUnicode_Check(key)) {
            MessageText text;
            text.add(method->name, 200).add("() keywords must be strings");
            raise_type_error(text.str().get());
            return -1;
        }
        for (Py_ssize_t i = 0; i < nargs; i++) {
            if (names_match(key, *method->varnames[i])) {
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
        Py_ssize_t k = used < nkw ? find_keyword(kwnames, nkw, *method->varnames[i]) : -1;
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

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
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

}  // namespace qv
