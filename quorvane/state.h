// Process-wide state of the module: start-up constants and the objects the
// methods use. The module is loaded into one interpreter per process (the
// create step refuses any other), so this lives in static storage rather
// than in per-module state.
#pragma once

#include <Python.h>
#include <stdint.h>

namespace qv {

// Every identifier the module body and the methods use: (field, text).
// These are interned, so keyword names written in Python source match the
// parameter names by identity.
#define QV_IDENTIFIERS(X)                                                  \
    X(quorvane, "quorvane")                                                \
    X(mod_agents, "langchain.agents")                                      \
    X(mod_agent_toolkits, "langchain.agents.agent_toolkits")               \
    X(mod_sql_database, "langchain.sql_database")                          \
    X(mod_llms_openai, "langchain.llms.openai")                            \
    X(mod_agent_types, "langchain.agents.agent_types")                     \
    X(mod_chat_models, "langchain.chat_models")                            \
    X(mod_sqlalchemy, "sqlalchemy")                                        \
    X(mod_os, "os")                                                        \
    X(mod_llms, "langchain.llms")                                          \
    X(mod_pymysql, "pymysql")                                              \
    X(create_sql_agent, "create_sql_agent")                                \
    X(SQLDatabaseToolkit, "SQLDatabaseToolkit")                            \
    X(SQLDatabase, "SQLDatabase")                                          \
    X(OpenAI, "OpenAI")                                                    \
    X(AgentExecutor, "AgentExecutor")                                      \
    X(AgentType, "AgentType")                                              \
    X(ChatOpenAI, "ChatOpenAI")                                            \
    X(create_engine, "create_engine")                                      \
    X(star, "*")                                                           \
    X(print, "print")                                                      \
    X(ZERO_SHOT_REACT_DESCRIPTION, "ZERO_SHOT_REACT_DESCRIPTION")          \
    X(dunder_test, "__test__")                                             \
    X(dunder_builtins, "__builtins__")                                     \
    X(dunder_name, "__name__")                                             \
    X(dunder_main, "__main__")                                             \
    X(dunder_all, "__all__")                                               \
    X(dunder_dict, "__dict__")                                             \
    X(dunder_spec, "__spec__")                                             \
    X(initializing, "_initializing")                                       \
    X(dunder_module, "__module__")                                         \
    X(dunder_qualname, "__qualname__")                                     \
    X(name, "name")                                                        \
    X(obj, "obj")                                                          \
    X(loader, "loader")                                                    \
    X(origin, "origin")                                                    \
    X(parent, "parent")                                                    \
    X(submodule_search_locations, "submodule_search_locations")            \
    X(dunder_loader, "__loader__")                                         \
    X(dunder_file, "__file__")                                             \
    X(dunder_package, "__package__")                                       \
    X(dunder_path, "__path__")                                             \
    X(DatabaseConnector, "DatabaseConnector")                              \
    X(AgentRunner, "AgentRunner")                                          \
    X(dunder_init, "__init__")                                             \
    X(connect, "connect")                                                  \
    X(getdbinstance, "getdbinstance")                                      \
    X(run, "run")                                                          \
    X(self, "self")                                                        \
    X(db_user, "db_user")                                                  \
    X(db_password, "db_password")                                          \
    X(db_host, "db_host")                                                  \
    X(db_name, "db_name")                                                  \
    X(e, "e")                                                              \
    X(llm, "llm")                                                          \
    X(toolkit, "toolkit")                                                  \
    X(verbose, "verbose")                                                  \
    X(agent_type, "agent_type")                                            \
    X(query, "query")                                                      \
    X(db, "db")                                                            \
    X(connection_status, "connection_status")                              \
    X(connected, "connected")                                              \
    X(message, "message")                                                  \
    X(agent_runner, "agent_runner")                                        \
    X(error, "error")                                                      \
    X(from_uri, "from_uri")

// Texts that are data, not names: not interned.
#define QV_TEXTS(X)                                                        \
    X(filename, "quorvane/base.py")                                        \
    X(msg_credentials, "All database credentials must be provided")        \
    X(msg_connected, "Connection successful")                              \
    X(msg_agent_instance, "Agent runner instance:")                        \
    X(msg_init_failed, "Error occurred during initialization.")            \
    X(msg_error, "Error occurred:")                                        \
    X(msg_not_initialized, "Agent runner is not initialized.")             \
    X(uri_prefix, "mysql+pymysql://")                                      \
    X(colon, ":")                                                          \
    X(at, "@")                                                             \
    X(slash, "/")                                                         \
    X(quote, "'")

// Every method of the two classes, described once:
//   X(id, class, name, body, line of its def, parameters, required,
//     local names: the parameters, then the other locals)
// The method ids, the binder's table, the code objects and the function
// objects' names are all made from it.
#define QV_METHODS(X)                                                                  \
    X(DBC_INIT, DatabaseConnector, __init__, dbc_init, 17, 5, 1, self, db_user,         \
      db_password, db_host, db_name)                                                   \
    X(DBC_CONNECT, DatabaseConnector, connect, dbc_connect, 25, 1, 1, self, e)          \
    X(DBC_GETDBINSTANCE, DatabaseConnector, getdbinstance, dbc_getdbinstance, 42, 1, 1,  \
      self, e)                                                                         \
    X(AR_INIT, AgentRunner, __init__, ar_init, 56, 5, 3, self, llm, toolkit, verbose,   \
      agent_type, e)                                                                   \
    X(AR_RUN, AgentRunner, run, ar_run, 83, 2, 2, self, query)

enum MethodId {
#define QV_METHOD_ID(id, ...) M_##id,
    QV_METHODS(QV_METHOD_ID)
#undef QV_METHOD_ID
    M_COUNT
};

// Each method's name and qualified name, interned: QV_METHOD_NAME_X(field,
// text) twice per method.
#define QV_METHOD_NAME_PAIR(id, cls, method, ...) \
    QV_METHOD_NAME_X(name_##id, #method) QV_METHOD_NAME_X(qualname_##id, #cls "." #method)

struct Strings {
#define QV_FIELD(field, text) PyObject *field;
#define QV_METHOD_NAME_X(field, text) PyObject *field;
    QV_IDENTIFIERS(QV_FIELD)
    QV_TEXTS(QV_FIELD)
    QV_METHODS(QV_METHOD_NAME_PAIR)
#undef QV_METHOD_NAME_X
#undef QV_FIELD
};

struct State {
    int64_t interpreter_id = -1;
    PyObject *module = nullptr;  // set while executing and once ready
    PyObject *moddict = nullptr;
    PyObject *builtins = nullptr;  // the `builtins` module
    PyObject *print = nullptr;     // bound once at start-up
    PyObject *empty_tuple = nullptr;
    PyObject *empty_bytes = nullptr;
    PyObject *empty_str = nullptr;
    PyObject *args_init_failed = nullptr;      // ("Error occurred during initialization.",)
    PyObject *args_not_initialized = nullptr;  // ("Agent runner is not initialized.",)
    PyObject *dbc_defaults = nullptr;          // (None, None, None, None)
    PyObject *code[M_COUNT] = {};
    Strings s = {};
};

extern State g;

// Creates every string of the two tables above; -1 with an exception set.
int create_strings();

}  // namespace qv
