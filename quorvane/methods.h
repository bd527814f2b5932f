// Bodies of the five methods; each runs on its bound argument slots and
// returns a new reference, or null with the exception carrying its entry.
#pragma once

#include "boundary.h"

namespace qv {

PyObject *dbc_init(Function *func, PyObject *const *slots);
PyObject *dbc_connect(Function *func, PyObject *const *slots);
PyObject *dbc_getdbinstance(Function *func, PyObject *const *slots);
PyObject *ar_init(Function *func, PyObject *const *slots);
PyObject *ar_run(Function *func, PyObject *const *slots);

}  // namespace qv
