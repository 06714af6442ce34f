// The module's functions, in the fast-call convention.
#pragma once

#include "failure.hpp"

namespace vela_sha::py {

PyObject* calculate_hash_py(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept;

PyObject* calculate_composition_hash_py(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept;

// A new result dict {"kind": kind, "sha256": the digest's hex text}, keys in
// that order.
[[nodiscard]] Result<Ref> digest_result(std::string_view kind, const Sha256Bytes& digest);

}  // namespace vela_sha::py
