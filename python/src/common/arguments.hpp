// The argument binding every function and type of both modules uses: each
// parameter by position or keyword unless the signature says otherwise.
#pragma once

#include <span>
#include <string_view>

#include "ref.hpp"

namespace vela_sha::py {

struct Signature {
  std::string_view display;            // "calculate_hash()", "VelaShaError.__new__()"
  std::span<const char* const> names;  // parameter names, in order
  // The first `positional_only` parameters take no keyword; those from
  // `keyword_only` on take no position; the first `required` must be given
  // (the rest are null when absent). By default every parameter takes both
  // and is required.
  std::size_t positional_only = 0;
  std::size_t keyword_only = static_cast<std::size_t>(-1);
  std::size_t required = static_cast<std::size_t>(-1);
};

// Fast-call convention: `args` holds the positional arguments, then the values
// of the keywords named in `kwnames`. Fills `bound` (one borrowed reference per
// parameter, or null) and returns true, or sets TypeError and returns false.
// The texts: "<display> takes N positional arguments but M were given" (the
// plural whatever N is), "<display> got an unexpected keyword argument 'x'",
// "<display> got multiple values for argument 'x'", "<display> missing N
// required positional argument(s): 'a' and 'b'".
[[nodiscard]] bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, PyObject** bound);

// Tuple-and-dict convention, as tp_new receives it; same rule, same texts.
[[nodiscard]] bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** bound);

}  // namespace vela_sha::py
