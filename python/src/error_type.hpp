// The exception class VelaShaError.
#pragma once

#include "ref.hpp"

namespace vela_sha::py {

// The type object, created on first use and kept for the life of the process.
// Returns a borrowed reference, or nullptr with an exception set.
[[nodiscard]] PyObject* error_type_or_create();

// The type object if it exists yet (borrowed), else nullptr.
[[nodiscard]] PyObject* error_type() noexcept;

}  // namespace vela_sha::py
