// AgentRunner: builds the LangChain SQL agent and puts queries to it.
#include "methods.h"

namespace qv {

namespace {

// The constructor's arguments, stored on the instance and passed on, in order.
PyObject **const kAgentArgs[4] = {&g.s.llm, &g.s.toolkit, &g.s.verbose, &g.s.agent_type};

Ref print_constant(PyObject *args_tuple) {
    return call_print(&PyTuple_GET_ITEM(args_tuple, 0), PyTuple_GET_SIZE(args_tuple));
}

// Copies one attribute of `self` into the keyword dict.
int add_keyword(PyObject *kwargs, PyObject *self, PyObject *name) {
    Ref value = get_attr(self, name);
    if (!value) return -1;
    return PyDict_SetItem(kwargs, name, value.get());
}

// The protected region of construction: 0, or the line of the statement
// that raised.
int make_agent(const Function *func, PyObject *self) {
    Ref create = lookup_global(globals_of(func), g.s.create_sql_agent);
    if (!create) return 67;
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return 67;
    // The values are read back from the instance: a subclass's attribute
    // access decides what the agent gets.
    for (int i = 0; i < 4; i++)
        if (add_keyword(kwargs.get(), self, *kAgentArgs[i]) < 0) return 68 + i;
    Ref agent = call_keywords(create.get(), kwargs.get());
    if (!agent || set_attr(self, g.s.agent_runner, agent.get()) < 0) return 67;

    Ref current = get_attr(self, g.s.agent_runner);
    if (!current) return 75;
    if (current.get() != Py_None) {
        Ref again = get_attr(self, g.s.agent_runner);
        if (!again) return 76;
        PyObject *args[2] = {g.s.msg_agent_instance, again.get()};
        return call_print(args, 2) ? 0 : 76;
    }
    return print_constant(g.args_init_failed) ? 0 : 78;
}

}  // namespace

PyObject *ar_init(Function *func, PyObject *const *slots) {
    PyObject *self = slots[0];
    for (int i = 0; i < 4; i++)
        if (set_attr(self, *kAgentArgs[i], slots[i + 1]) < 0) return fail(func, 58 + i);
    if (set_attr(self, g.s.agent_runner, Py_None) < 0) return fail(func, 62);
    if (set_attr(self, g.s.error, Py_None) < 0) return fail(func, 63);
    {
        ExceptScope scope;
        if (int line = make_agent(func, self)) {
            Ref e = scope.catch_at(func, line);
            if (!e) return nullptr;
            if (set_attr(self, g.s.error, e.get()) < 0) return fail(func, 80);
            PyObject *args[2] = {g.s.msg_error, e.get()};
            if (!call_print(args, 2)) return fail(func, 81);
        }
    }
    Py_RETURN_NONE;
}

PyObject *ar_run(Function *func, PyObject *const *slots) {
    PyObject *self = slots[0];
    Ref agent = get_attr(self, g.s.agent_runner);
    if (!agent) return fail(func, 84);
    int present = truth(agent.get());
    if (present < 0) return fail(func, 84);
    if (present) {
        // Read again: the value tested is not reused.
        agent = get_attr(self, g.s.agent_runner);
        if (!agent) return fail(func, 85);
        Ref answer = call_method1(agent.get(), g.s.run, slots[1]);
        if (!answer) return fail(func, 85);
        return answer.release();
    }
    if (!print_constant(g.args_not_initialized)) return fail(func, 87);
    Py_RETURN_NONE;
}

}  // namespace qv
