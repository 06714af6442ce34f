// Filling a module: each name is appended to its __all__ (made on first use),
// then bound to its object.
#pragma once

#include "failure.hpp"

namespace vela_sha::py {

// Appends `name` (a str) to the module's __all__, then sets the attribute. The
// module's __all__, if it has one, must be a list. False with an exception set.
[[nodiscard]] bool add_to_module(PyObject* module, PyObject* name, PyObject* object);

// A built-in function of the module, added under its own __name__.
[[nodiscard]] bool add_function(PyObject* module, PyMethodDef* definition);

}  // namespace vela_sha::py
