// The exception class VelaShaError.
#pragma once

#include "ref.hpp"

namespace vela_sha::py {

// The type object, created on first use and kept for the life of the process.
// Returns a borrowed reference, or nullptr with an exception set.
[[nodiscard]] PyObject* error_type_or_create();

// The type object if it exists yet (borrowed), else nullptr.
[[nodiscard]] PyObject* error_type() noexcept;

// Makes `type`, the class another module of this package created, the one this
// module raises: every module shares one VelaShaError, so one `except` catches
// them all. Keeps a reference for the life of the process.
void adopt_error_type(PyObject* type) noexcept;

}  // namespace vela_sha::py
