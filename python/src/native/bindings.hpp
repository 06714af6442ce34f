// The module's functions, in the fast-call convention.
#pragma once

#include "common/failure.hpp"

namespace vela_sha::py {

PyObject* calculate_hash_py(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

PyObject* calculate_composition_hash_py(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);

}  // namespace vela_sha::py
