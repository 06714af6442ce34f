// The members of vela_sha._ext, each defined in its own unit.
#pragma once

#include "common/ref.hpp"

namespace vela_sha::py {

// Adds every type and function of the module; false with an exception set.
[[nodiscard]] bool add_ext_members(PyObject* module);

}  // namespace vela_sha::py
