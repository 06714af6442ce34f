// The argument binding shared by the module functions and VelaShaError.__new__:
// every parameter required, each by position or keyword, nothing else allowed.
#pragma once

#include <span>
#include <string_view>

#include "ref.hpp"

namespace vela_sha::py {

struct Signature {
  std::string_view display;            // "calculate_hash()", "VelaShaError.__new__()"
  std::span<const char* const> names;  // parameter names, in order
};

// Fast-call convention: `args` holds the positional arguments, then the values
// of the keywords named in `kwnames`. Fills `bound` (one borrowed reference per
// parameter) and returns true, or sets TypeError and returns false.
[[nodiscard]] bool bind_arguments(const Signature& signature, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

// Tuple-and-dict convention, as tp_new receives it; same rule, same texts.
[[nodiscard]] bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                                  PyObject** bound);

}  // namespace vela_sha::py
