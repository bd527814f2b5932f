// The module definition and its start-up: the create and exec steps, the
// start-up constants, and the module body (imports and class statements).
#include <opcode.h>
#include <stdint.h>

#include "methods.h"

namespace qv {

State g;

// The local names of a method as addresses in `g`, and how many there are.
#define QV_COUNT(...) QV_COUNT_(__VA_ARGS__, 6, 5, 4, 3, 2, 1, 0)
#define QV_COUNT_(a, b, c, d, e, f, n, ...) n
#define QV_NAMES_1(a) &g.s.a
#define QV_NAMES_2(a, ...) &g.s.a, QV_NAMES_1(__VA_ARGS__)
#define QV_NAMES_3(a, ...) &g.s.a, QV_NAMES_2(__VA_ARGS__)
#define QV_NAMES_4(a, ...) &g.s.a, QV_NAMES_3(__VA_ARGS__)
#define QV_NAMES_5(a, ...) &g.s.a, QV_NAMES_4(__VA_ARGS__)
#define QV_NAMES_6(a, ...) &g.s.a, QV_NAMES_5(__VA_ARGS__)
#define QV_CONCAT(a, b) QV_CONCAT_(a, b)
#define QV_CONCAT_(a, b) a##b
#define QV_NAMES(...) QV_CONCAT(QV_NAMES_, QV_COUNT(__VA_ARGS__))(__VA_ARGS__)

const MethodInfo kMethods[M_COUNT] = {
#define QV_METHOD_INFO(id, cls, method, body, line, nparams, nrequired, ...)                     \
    {#method,   "quorvane." #cls "." #method, body, {QV_NAMES(__VA_ARGS__)}, nparams, nrequired, \
     QV_COUNT(__VA_ARGS__), line, &g.s.name_##id, &g.s.qualname_##id},
    QV_METHODS(QV_METHOD_INFO)
#undef QV_METHOD_INFO
};
static_assert(QV_COUNT(a, b, c, d, e, f) == kMaxVarnames);

// ---------------------------------------------------------------------
// Start-up constants

namespace {

struct StringEntry {
    PyObject **slot;
    const char *text;
    bool intern;
};

const StringEntry kStringTable[] = {
#define QV_IDENT(field, text) {&g.s.field, text, true},
#define QV_TEXT(field, text) {&g.s.field, text, false},
#define QV_METHOD_NAME_X QV_IDENT
    QV_IDENTIFIERS(QV_IDENT) QV_TEXTS(QV_TEXT) QV_METHODS(QV_METHOD_NAME_PAIR)
#undef QV_METHOD_NAME_X
#undef QV_IDENT
#undef QV_TEXT
};

constexpr int kCoOptimized = 0x1, kCoNewLocals = 0x2;

// The body every code object gets, the one PyCode_NewEmpty gives: anything
// that executes it (a function made from it with types.FunctionType, exec)
// raises AssertionError instead of running off the end of empty bytes.
const unsigned char kAssertBody[] = {RESUME, 0, LOAD_ASSERTION_ERROR, 0, RAISE_VARARGS, 1};
constexpr int kAssertStackSize = 1;
// Its location table: one entry for the three instructions, "no columns"
// (code 13) on the first line (line delta 0). An empty table would leave
// the raised AssertionError with an instruction that has no position, and
// the traceback module fails to format such a traceback.
const unsigned char kAssertLines[] = {0x80 | (13 << 3) | (3 - 1), 0};

}  // namespace

int create_strings() {
    for (const StringEntry &entry : kStringTable) {
        PyObject *s = entry.intern ? PyUnicode_InternFromString(entry.text)
                                   : PyUnicode_FromString(entry.text);
        if (!s) return -1;
        Py_XSETREF(*entry.slot, s);
        // Computed now so that no method call pays for it.
        if (PyObject_Hash(s) == -1) return -1;
    }
    return 0;
}

// Replaces a start-up global only with a value that exists: classes of an
// earlier, failed start-up may still be in use and read the old one.
static int store_global(PyObject **slot, PyObject *value) {
    if (!value) return -1;
    Py_XSETREF(*slot, value);
    return 0;
}

static int create_constants() {
    if (store_global(&g.args_init_failed, PyTuple_Pack(1, g.s.msg_init_failed)) < 0 ||
        store_global(&g.args_not_initialized, PyTuple_Pack(1, g.s.msg_not_initialized)) < 0 ||
        store_global(&g.dbc_defaults, PyTuple_Pack(4, Py_None, Py_None, Py_None, Py_None)) < 0)
        return -1;
    Ref body = Ref::steal(PyBytes_FromStringAndSize((const char *)kAssertBody, sizeof kAssertBody));
    if (!body) return -1;
    Ref lines =
        Ref::steal(PyBytes_FromStringAndSize((const char *)kAssertLines, sizeof kAssertLines));
    if (!lines) return -1;
    for (int id = 0; id < M_COUNT; id++) {
        const MethodInfo &m = kMethods[id];
        Ref varnames = Ref::steal(PyTuple_New(m.nvarnames));
        if (!varnames) return -1;
        for (int i = 0; i < m.nvarnames; i++)
            PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(*m.varnames[i]));
        PyObject *code = (PyObject *)PyUnstable_Code_NewWithPosOnlyArgs(
            (int)m.nparams, 0, 0, m.nvarnames, kAssertStackSize, kCoOptimized | kCoNewLocals,
            body.get(), g.empty_tuple, g.empty_tuple, varnames.get(), g.empty_tuple,
            g.empty_tuple, g.s.filename, *m.func_name, *m.func_name, m.head_line, lines.get(),
            g.empty_bytes);
        if (store_global(&g.code[id], code) < 0) return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------
// Module body

namespace {

// A failure of a module-level statement: one "init quorvane" entry.
int init_fail(int line) {
    add_traceback("init quorvane", line, g.moddict);
    return -1;
}

Ref import_level0(PyObject *path, PyObject *fromlist) {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    return Ref::steal(
        PyImport_ImportModuleLevelObject(path, g.moddict, locals.get(), fromlist, 0));
}

Ref single_list(PyObject *item) {
    Ref list = Ref::steal(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
    return list;
}

// from P import N
int from_import(PyObject *path, PyObject *name, int line) {
    Ref fromlist = single_list(name);
    if (!fromlist) return init_fail(line);
    Ref module = import_level0(path, fromlist.get());
    if (!module) return init_fail(line);
    Ref value = get_attr(module.get(), name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // A submodule that is imported but not (yet) bound on its package.
        PyErr_Clear();
        Ref modname = get_attr(module.get(), g.s.dunder_name);
        if (modname) {
            Ref full = Ref::steal(PyUnicode_FromFormat("%S.%S", modname.get(), name));
            if (full) value = Ref::steal(PyImport_GetModule(full.get()));
        }
    }
    if (!value) {
        // An interrupt or exit while the name was read is not a failure to
        // find it: only Exception subclasses become the ImportError.
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return init_fail(line);
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
        return init_fail(line);
    }
    if (PyDict_SetItem(g.moddict, name, value.get()) < 0) return init_fail(line);
    return 0;
}

// True when `module` is in sys.modules but still running its own body.
bool is_initializing(PyObject *module) {
    Ref spec = get_attr(module, g.s.dunder_spec);
    if (!spec) {
        PyErr_Clear();
        return false;
    }
    Ref flag = get_attr(spec.get(), g.s.initializing);
    if (!flag) {
        PyErr_Clear();
        return false;
    }
    int r = truth(flag.get());
    if (r < 0) {
        PyErr_Clear();
        return false;
    }
    return r == 1;
}

// import P
int module_import(PyObject *path, int line) {
    // Not found is null with nothing raised; anything raised while looking
    // (an interrupt while waiting for a module that another thread
    // initializes) propagates, as in the interpreter's own import.
    Ref module = Ref::steal(PyImport_GetModule(path));
    if (!module && PyErr_Occurred()) return init_fail(line);
    // None in sys.modules is left to the import function, which refuses it.
    if (module && (module.get() == Py_None || is_initializing(module.get()))) module.reset();
    if (!module) {
        module = import_level0(path, nullptr);
        if (!module) return init_fail(line);
    }
    if (PyDict_SetItem(g.moddict, path, module.get()) < 0) return init_fail(line);
    return 0;
}

// The names a star import takes: __all__, else the public keys of __dict__.
Ref star_names(PyObject *module) {
    Ref all = get_attr(module, g.s.dunder_all);
    if (all || !PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
    PyErr_Clear();
    Ref dict = get_attr(module, g.s.dunder_dict);
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
        return {};
    }
    Ref keys = Ref::steal(PyMapping_Keys(dict.get()));
    if (!keys) return {};
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return {};
    Py_ssize_t n = PyList_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *key = PyList_GET_ITEM(keys.get(), i);
        if (PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) > 0 &&
            PyUnicode_READ_CHAR(key, 0) == '_')
            continue;
        if (PyList_Append(names.get(), key) < 0) return {};
    }
    return names;
}

// Sets `name` on the module, under exactly its text (an embedded NUL
// included) and as a plain str. A name that does not encode as UTF-8 (a
// lone surrogate) fails.
int bind_star_name(PyObject *name, PyObject *value) {
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (!utf8) return -1;
    if (PyUnicode_CheckExact(name)) return PyObject_SetAttr(g.module, name, value);
    Ref exact = Ref::steal(PyUnicode_FromStringAndSize(utf8, size));
    if (!exact) return -1;
    return PyObject_SetAttr(g.module, exact.get(), value);
}

// from P import *
int star_import(PyObject *path, int line) {
    Ref fromlist = single_list(g.s.star);
    if (!fromlist) return init_fail(line);
    Ref module = import_level0(path, fromlist.get());
    if (!module) return init_fail(line);
    Ref names = star_names(module.get());
    if (!names) return init_fail(line);
    Ref values = Ref::steal(PyDict_New());
    if (!values) return init_fail(line);
    for (Py_ssize_t i = 0;; i++) {
        Ref name = Ref::steal(PySequence_GetItem(names.get(), i));
        if (!name) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) return init_fail(line);
            PyErr_Clear();
            break;
        }
        Ref value = get_attr(module.get(), name.get());
        if (!value || PyDict_SetItem(values.get(), name.get(), value.get()) < 0)
            return init_fail(line);
    }
    PyObject *name, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(values.get(), &pos, &name, &value))
        if (bind_star_name(name, value) < 0) return init_fail(line);
    return 0;
}

// A class namespace with __module__ and __qualname__ of our own: `type`
// would otherwise take __module__ from the importer's globals.
Ref class_namespace(PyObject *qualname) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItem(ns.get(), g.s.dunder_module, g.s.quorvane) < 0 ||
        PyDict_SetItem(ns.get(), g.s.dunder_qualname, qualname) < 0)
        return {};
    return ns;
}

// A def statement in a class body: the function under its name, failing at
// the def's line.
int add_method(PyObject *ns, MethodId id, PyObject *defaults) {
    const MethodInfo &m = kMethods[id];
    Ref func = new_function(id, defaults);
    if (!func || PyDict_SetItem(ns, *m.func_name, func.get()) < 0) return init_fail(m.head_line);
    return 0;
}

int finish_class(PyObject *name, PyObject *ns, int line) {
    PyObject *args[3] = {name, g.empty_tuple, ns};
    Ref cls = Ref::steal(PyObject_Vectorcall((PyObject *)&PyType_Type, args, 3, nullptr));
    if (!cls || PyDict_SetItem(g.moddict, name, cls.get()) < 0) return init_fail(line);
    return 0;
}

int class_database_connector() {
    Ref ns = class_namespace(g.s.DatabaseConnector);
    if (!ns) return init_fail(16);
    if (add_method(ns.get(), M_DBC_INIT, g.dbc_defaults) < 0 ||
        add_method(ns.get(), M_DBC_CONNECT, nullptr) < 0 ||
        add_method(ns.get(), M_DBC_GETDBINSTANCE, nullptr) < 0)
        return -1;
    return finish_class(g.s.DatabaseConnector, ns.get(), 16);
}

int class_agent_runner() {
    Ref ns = class_namespace(g.s.AgentRunner);
    if (!ns) return init_fail(55);
    Ref init = new_function(M_AR_INIT, nullptr);
    const MethodInfo &m = kMethods[M_AR_INIT];
    if (!init) return init_fail(m.head_line);
    // The default agent type is read once, after all the imports.
    Ref agent_type = lookup_global(g.moddict, g.s.AgentType);
    if (!agent_type) return init_fail(57);
    Ref zero_shot = get_attr(agent_type.get(), g.s.ZERO_SHOT_REACT_DESCRIPTION);
    if (!zero_shot) return init_fail(57);
    Function *f = (Function *)init.get();
    f->call_defaults[3] = Py_True;
    f->call_defaults[4] = zero_shot.get();
    f->stored_default = zero_shot.release();
    f->defaults_from_stored = true;
    if (PyDict_SetItem(ns.get(), *m.func_name, init.get()) < 0) return init_fail(m.head_line);
    if (add_method(ns.get(), M_AR_RUN, nullptr) < 0) return -1;
    return finish_class(g.s.AgentRunner, ns.get(), 55);
}

int module_body() {
    const Strings &s = g.s;
    if (from_import(s.mod_agents, s.create_sql_agent, 1) < 0 ||
        from_import(s.mod_agent_toolkits, s.SQLDatabaseToolkit, 2) < 0 ||
        from_import(s.mod_sql_database, s.SQLDatabase, 3) < 0 ||
        from_import(s.mod_llms_openai, s.OpenAI, 4) < 0 ||
        from_import(s.mod_agents, s.AgentExecutor, 5) < 0 ||
        from_import(s.mod_agent_types, s.AgentType, 6) < 0 ||
        from_import(s.mod_chat_models, s.ChatOpenAI, 7) < 0 ||
        from_import(s.mod_sqlalchemy, s.create_engine, 8) < 0 ||
        module_import(s.mod_os, 9) < 0 ||
        star_import(s.mod_agents, 10) < 0 ||
        from_import(s.mod_llms, s.OpenAI, 11) < 0 ||
        from_import(s.mod_sql_database, s.SQLDatabase, 12) < 0 ||
        module_import(s.mod_pymysql, 13) < 0)
        return -1;
    if (class_database_connector() < 0 || class_agent_runner() < 0) return -1;
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------
// Create and exec steps

}  // namespace qv

extern "C" {
// An embedding host may set this before the first import to run the
// module as "__main__".
__attribute__((visibility("default"))) int32_t module_is_main_quorvane = 0;
}

namespace qv {
namespace {

int copy_spec_attribute(PyObject *spec, PyObject *moddict, const char *attr, const char *key,
                        bool copy_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (value.get() == Py_None && !copy_none) return 0;
    return PyDict_SetItemString(moddict, key, value.get());
}

PyObject *create_module(PyObject *spec, PyModuleDef *) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g.interpreter_id == -1) {
        g.interpreter_id = id;
    } else if (id != g.interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return nullptr;
    }
    if (g.module) return Py_NewRef(g.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *moddict = PyModule_GetDict(module.get());
    if (!moddict || copy_spec_attribute(spec, moddict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, moddict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, moddict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, moddict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

// 1 when `mapping` has `key`, 0 when not, -1 on error.
int has_key(PyObject *mapping, PyObject *key) {
    if (PyDict_Check(mapping)) return PyDict_Contains(mapping, key);
    Ref value = Ref::steal(PyObject_GetItem(mapping, key));
    if (value) return 1;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
    PyErr_Clear();
    return 0;
}

// The exec step from step 3 on; the caller releases the module on failure.
// `*entered` tells whether it put the module into sys.modules itself.
int exec_steps(PyObject *module, bool *entered) {
    PyObject *moddict = PyModule_GetDict(module);
    if (!moddict) return -1;
    Py_XSETREF(g.moddict, Py_NewRef(moddict));
    PyObject *builtins = PyImport_AddModule("builtins");
    if (!builtins) return -1;
    Py_XSETREF(g.builtins, Py_NewRef(builtins));
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return -1;

    // Any 3.12 release passes: only major and minor are compared.
    unsigned long runtime = Py_Version;
    int major = (int)((runtime >> 24) & 0xff), minor = (int)((runtime >> 16) & 0xff);
    if (major != 3 || minor != 12) {
        char message[200];
        PyOS_snprintf(message, sizeof(message),
                      "compile time Python version %d.%d of module '%.100s' %s runtime "
                      "version %d.%d",
                      3, 12, "quorvane", "does not match", major, minor);
        if (PyErr_WarnEx(nullptr, message, 1) < 0) return -1;
    }

    if (store_global(&g.empty_tuple, PyTuple_New(0)) < 0 ||
        store_global(&g.empty_bytes, PyBytes_FromStringAndSize("", 0)) < 0 ||
        store_global(&g.empty_str, PyUnicode_New(0, 0)) < 0 || init_function_type() < 0 ||
        create_strings() < 0)
        return -1;

    if (module_is_main_quorvane &&
        PyObject_SetAttr(module, g.s.dunder_name, g.s.dunder_main) < 0)
        return init_fail(1);
    PyObject *sys_modules = PyImport_GetModuleDict();
    int present = has_key(sys_modules, g.s.quorvane);
    if (present < 0) return init_fail(1);
    if (!present) {
        if (PyObject_SetItem(sys_modules, g.s.quorvane, module) < 0) return init_fail(1);
        *entered = true;
    }

    Ref print = get_attr(g.builtins, g.s.print);
    if (!print) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", g.s.print);
        }
        return init_fail(1);
    }
    Py_XSETREF(g.print, print.release());
    if (create_constants() < 0) return init_fail(1);
    if (module_body() < 0) return -1;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(g.moddict, g.s.dunder_test, test.get()) < 0)
        return init_fail(1);
    return 0;
}

// After a failed start-up, takes out the sys.modules entry "quorvane" that
// start-up made, if it still holds this module: the import system drops
// only the entry under the name it imported, and a later `import quorvane`
// would find a module without classes. The failure stays the one raised;
// an error while taking the entry out is raised in its place, with the
// failure as its context.
void remove_own_entry(PyObject *module) {
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    PyObject *sys_modules = PyImport_GetModuleDict();
    Ref held = Ref::steal(PyObject_GetItem(sys_modules, g.s.quorvane));
    int r = 0;
    if (held.get() == module)
        r = PyObject_DelItem(sys_modules, g.s.quorvane);
    else if (!held && PyErr_ExceptionMatches(PyExc_KeyError))
        PyErr_Clear();
    else if (!held)
        r = -1;
    if (r == 0) {
        PyErr_SetRaisedException(failure.release());
        return;
    }
    Ref error = Ref::steal(PyErr_GetRaisedException());
    PyException_SetContext(error.get(), failure.release());
    PyErr_SetRaisedException(error.release());
}

int exec_module(PyObject *module) {
    if (g.module) {
        if (g.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'quorvane' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    g.module = Py_NewRef(module);
    bool entered = false;
    if (exec_steps(module, &entered) < 0) {
        if (entered) remove_own_entry(module);
        Py_CLEAR(g.module);
        return -1;
    }
#ifndef NDEBUG
    assert(!PyErr_Occurred());
    // The binder matches keywords by identity first and compares text only
    // for names that are not interned: the parameter names must be.
    for (const MethodInfo &method : kMethods)
        for (Py_ssize_t i = 0; i < method.nparams; i++)
            assert(PyUnicode_CHECK_INTERNED(*method.varnames[i]));
#endif
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, (void *)create_module},
    {Py_mod_exec, (void *)exec_module},
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvane",
    nullptr,
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qv

PyMODINIT_FUNC PyInit_quorvane(void) { return PyModuleDef_Init(&qv::module_def); }
